// The Python extension `tracedx._tracedx`: diagnose and compare traces given as JSON text,
// bytes or decoded Python values, returning the reports as plain dicts and lists shaped as
// the command's JSON. The engine runs without the GIL, so threads diagnose in parallel.
// The underscored functions are the pieces `tracedx.dask` runs on its workers: they read
// the files themselves and return batch records.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/recorded_analysis.h"
#include "batch/batch.h"
#include "diagnosis/compare/comparison.h"
#include "diagnosis/diagnosis.h"
#include "diagnosis/signals.h"
#include "fleet/fleet_format.h"
#include "fleet/gate.h"
#include "fleet/gate_writers.h"
#include "fleet/record_reader.h"
#include "fleet/triage.h"
#include "fleet/triage_writers.h"
#include "import/importers.h"
#include "import/sources.h"
#include "input/input.h"
#include "report/report_json.h"
#include "trace/fixture_loader.h"

namespace py = pybind11;

namespace tracedx {
namespace {

// Raised to Python as tracedx.TraceError; the text is the message the command prints. It
// is kept whole (a name may hold a NUL) and may hold bytes that are not UTF-8 (a parse
// error quotes the input), which reach Python as backslash escapes.
struct TraceError : std::runtime_error {
  explicit TraceError(const Error& e) : TraceError(e.display()) {}
  explicit TraceError(const std::string& message) : std::runtime_error(message), text(message) {}
  std::string text;
};

// The exception type tracedx.TraceError, created when the module is imported.
PyObject* g_trace_error_type = nullptr;

void translate_trace_error(std::exception_ptr p) {
  try {
    if (p) std::rethrow_exception(p);
  } catch (const TraceError& e) {
    PyObject* message = PyUnicode_DecodeUTF8(e.text.data(), static_cast<Py_ssize_t>(e.text.size()),
                                             "backslashreplace");
    if (!message) return;  // the decoding error is set instead
    PyErr_SetObject(g_trace_error_type, message);
    Py_DECREF(message);
  }
}

// --- Python values to JSON --------------------------------------------------------------

// The UTF-8 bytes of a str, owned by the str (which caches them).
std::string_view utf8_of(py::handle str) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(str.ptr(), &size);
  if (!utf8) {
    PyErr_Clear();
    throw TraceError("a text that is not valid Unicode (a lone surrogate)");
  }
  return std::string_view(utf8, static_cast<size_t>(size));
}

// A decoded document, converted as the JSON parser would have read its text: non-negative
// integers unsigned, integers beyond 64 bits as floats, and no deeper than the parser allows.
Json json_of(py::handle v, size_t depth) {
  if (v.is_none()) return nullptr;
  if (PyBool_Check(v.ptr())) return v.ptr() == Py_True;
  if (PyLong_Check(v.ptr())) {
    int overflow = 0;
    long long s = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (overflow == 0)
      return s >= 0 ? Json(static_cast<uint64_t>(s)) : Json(static_cast<int64_t>(s));
    if (overflow > 0) {
      unsigned long long u = PyLong_AsUnsignedLongLong(v.ptr());
      if (!PyErr_Occurred()) return Json(static_cast<uint64_t>(u));
      PyErr_Clear();
    }
    double d = PyLong_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      throw TraceError("number out of range: an integer beyond the range of a double");
    }
    return d;
  }
  if (PyFloat_Check(v.ptr())) {
    double d = PyFloat_AS_DOUBLE(v.ptr());
    if (!std::isfinite(d)) throw TraceError("NaN and infinite numbers are not JSON");
    return d;
  }
  if (PyUnicode_Check(v.ptr())) return std::string(utf8_of(v));
  const bool is_list = PyList_Check(v.ptr()) || PyTuple_Check(v.ptr());
  const bool is_dict = PyDict_Check(v.ptr());
  if ((is_list || is_dict) && depth >= kMaxJsonDepth) {
    throw TraceError("nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels");
  }
  // Containers are read through snapshots that hold strong references to their items, taken
  // at the C level as json.dumps reads them (a subclass's __getitem__ is not called), so
  // nothing converted later can free an item still to be read.
  if (is_list) {
    py::object items = py::reinterpret_steal<py::object>(
        PyList_Check(v.ptr()) ? PyList_GetSlice(v.ptr(), 0, PY_SSIZE_T_MAX)
                              : PyTuple_GetSlice(v.ptr(), 0, PY_SSIZE_T_MAX));
    if (!items) throw py::error_already_set();
    Json out = Json::array();
    const bool list = PyList_Check(items.ptr());
    const Py_ssize_t n = list ? PyList_GET_SIZE(items.ptr()) : PyTuple_GET_SIZE(items.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
      py::handle item = list ? PyList_GET_ITEM(items.ptr(), i) : PyTuple_GET_ITEM(items.ptr(), i);
      out.push_back(json_of(item, depth + 1));
    }
    return out;
  }
  if (is_dict) {
    py::object items = py::reinterpret_steal<py::object>(PyDict_Items(v.ptr()));
    if (!items) throw py::error_already_set();
    Json out = Json::object();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
      PyObject* pair = PyList_GET_ITEM(items.ptr(), i);
      py::handle key = PyTuple_GET_ITEM(pair, 0), value = PyTuple_GET_ITEM(pair, 1);
      if (!PyUnicode_Check(key.ptr())) {
        throw py::type_error("object keys must be str, not " +
                             std::string(py::str(py::type::of(key).attr("__name__"))));
      }
      out[std::string(json_of(key, depth).get_ref<const std::string&>())] =
          json_of(value, depth + 1);
    }
    return out;
  }
  throw py::type_error("a " + std::string(py::str(py::type::of(v).attr("__name__"))) +
                       " is not a JSON value");
}

// --- JSON to Python values --------------------------------------------------------------

py::object python_of(const OrderedJson& v) {
  switch (v.type()) {
    case OrderedJson::value_t::null:
      return py::none();
    case OrderedJson::value_t::boolean:
      return py::bool_(v.get<bool>());
    case OrderedJson::value_t::number_integer:
      return py::int_(v.get<int64_t>());
    case OrderedJson::value_t::number_unsigned:
      return py::int_(v.get<uint64_t>());
    case OrderedJson::value_t::number_float:
      return py::float_(v.get<double>());
    case OrderedJson::value_t::string: {
      const auto& s = v.get_ref<const std::string&>();
      // Reports repeat trace texts, which the loader has checked; "replace" keeps any
      // stray byte from failing the whole report, as the command's writer does.
      PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
      if (!o) throw py::error_already_set();
      return py::reinterpret_steal<py::object>(o);
    }
    case OrderedJson::value_t::array: {
      py::list out(v.size());
      for (size_t i = 0; i < v.size(); ++i) out[i] = python_of(v[i]);
      return out;
    }
    case OrderedJson::value_t::object: {
      py::dict out;
      for (const auto& [key, value] : v.items()) out[py::str(key)] = python_of(value);
      return out;
    }
    default:
      return py::none();
  }
}

// --- Arguments --------------------------------------------------------------------------

// None: the format is told from the input.
Source source_of(const std::optional<std::string>& word) {
  if (!word) return Source::kDetect;
  auto source = parse_source(*word);
  if (!source) {
    std::string words;
    for (const auto& row : kSources) words += "\"" + std::string(row.word) + "\", ";
    throw py::value_error("source must be " + words + "or None, not \"" + *word + "\"");
  }
  return *source;
}

std::optional<RunStatus> run_status_of(const std::optional<std::string>& word) {
  if (!word) return std::nullopt;
  auto status = parse_run_status(*word);
  if (!status)
    throw py::value_error("run_status must be \"failed\", \"completed\" or None, not \"" + *word +
                          "\"");
  return status;
}

DiagnoseOptions options_of(const py::object& slow_threshold_ms, bool secondary_issues,
                           bool recommendations) {
  DiagnoseOptions options;
  if (!slow_threshold_ms.is_none()) {
    if (!PyLong_Check(slow_threshold_ms.ptr()) || PyBool_Check(slow_threshold_ms.ptr())) {
      throw py::type_error("slow_threshold_ms must be an int");
    }
    unsigned long long n = PyLong_AsUnsignedLongLong(slow_threshold_ms.ptr());
    if (PyErr_Occurred()) {
      PyErr_Clear();
      throw py::value_error("slow_threshold_ms must be from 0 to 2**64-1");
    }
    options.slow_threshold_ms = n;
  }
  options.include_secondary_issues = secondary_issues;
  options.include_recommendations = recommendations;
  return options;
}

// A trace argument: the bytes of a JSON text (str, bytes, bytearray, memoryview) or an
// already decoded document. Text stays owned by the Python object, which outlives the call.
struct TraceInput {
  std::optional<std::string> path;  // a file to read
  std::string_view text;
  std::string copy;  // for mutable buffers
  std::optional<Json> document;
  py::object keep;
  bool is_text() const { return !document && !path; }
};

// Whether a str holds a JSON document rather than naming a file: it starts (after white
// space and a byte order mark) with an object or an array.
bool holds_json(std::string_view text) {
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  size_t i = text.find_first_not_of(" \t\r\n");
  return i != std::string_view::npos && (text[i] == '{' || text[i] == '[');
}

TraceInput input_of(const py::handle& trace) {
  TraceInput in;
  in.keep = py::reinterpret_borrow<py::object>(trace);
  if (PyUnicode_Check(trace.ptr())) {
    in.text = utf8_of(trace);
    // A str names a file when it does not hold JSON and a file of that name exists.
    if (!holds_json(in.text) && path_kind(std::string(in.text)) != PathKind::kMissing)
      in.path = std::string(in.text);
  } else if (py::hasattr(trace, "__fspath__")) {
    py::object path = py::module_::import("os").attr("fsdecode")(trace);
    in.path = path.cast<std::string>();
  } else if (PyBytes_Check(trace.ptr())) {
    in.text = std::string_view(PyBytes_AS_STRING(trace.ptr()),
                               static_cast<size_t>(PyBytes_GET_SIZE(trace.ptr())));
  } else if (PyByteArray_Check(trace.ptr()) || PyMemoryView_Check(trace.ptr())) {
    // Copied through the buffer protocol in C order, so strided, reversed and
    // multi-dimensional views read their own bytes, and a mutable buffer may change later.
    Py_buffer view;
    if (PyObject_GetBuffer(trace.ptr(), &view, PyBUF_FULL_RO) != 0) throw py::error_already_set();
    in.copy.resize(static_cast<size_t>(view.len));
    int copied = PyBuffer_ToContiguous(in.copy.data(), &view, view.len, 'C');
    PyBuffer_Release(&view);
    if (copied != 0) throw py::error_already_set();
    in.text = in.copy;
  } else if (PyDict_Check(trace.ptr()) || PyList_Check(trace.ptr()) || PyTuple_Check(trace.ptr())) {
    in.document = json_of(trace, 0);
  } else {
    throw py::type_error(
        "trace must be a path (str or os.PathLike), a JSON text (str or bytes) or a decoded "
        "dict or list, not " +
        std::string(py::str(py::type::of(trace).attr("__name__"))));
  }
  return in;
}

// The trace of an input, loaded exactly as the command loads a file named `name`.
// Runs without the GIL.
Result<Trace> load_input(TraceInput& in, Source source, const std::string& name,
                         const std::string& trace_id, std::optional<RunStatus> run_status,
                         std::string_view pick_option = "--trace-id") {
  Result<Json> document = Error::message("");
  if (in.path) {
    auto input = Input::open(*in.path);
    if (!input) return std::move(input).error();
    return load_trace_input(*input, source, {trace_id, pick_option, nullptr, run_status},
                            name == "-" ? *in.path : name);
  }
  if (in.is_text()) {
    document = import_document(in.text, source, name, trace_id, nullptr, pick_option);
  } else if (source == Source::kDetect) {
    document = import_document(in.document->dump(), source, name, trace_id, nullptr, pick_option);
  } else if (source == Source::kFixture) {
    document = std::move(*in.document);
  } else if (source == Source::kChat) {
    document = import_chat(*in.document, name);
  } else {
    document = import_document(in.document->dump(), source, name, trace_id, nullptr, pick_option);
  }
  if (!document) return std::move(document).error();
  if (run_status) state_run_status(*document, *run_status);
  return build_trace(name, std::move(*document));
}

// --- Public functions -------------------------------------------------------------------

// Runs `build` without the GIL and returns its report as Python values, or raises the
// TraceError of its failure.
template <typename Build>
py::object report_of(Build&& build) {
  std::optional<Result<OrderedJson>> report;
  {
    py::gil_scoped_release unlocked;
    report = build();
  }
  if (!*report) throw TraceError(report->error());
  return python_of(**report);
}

py::object diagnose(const py::object& trace, const py::object& slow_threshold_ms,
                    bool secondary_issues, bool recommendations, bool signals,
                    const std::optional<std::string>& source_word,
                    const std::optional<std::string>& trace_id, const std::string& name,
                    const std::optional<std::string>& run_status_word, bool exact) {
  const Source source = source_of(source_word);
  const std::optional<RunStatus> run_status = run_status_of(run_status_word);
  DiagnoseOptions options = options_of(slow_threshold_ms, secondary_issues, recommendations);
  options.exact_engine = exact;
  TraceInput in = input_of(trace);
  return report_of([&]() -> Result<OrderedJson> {
    auto loaded = load_input(in, source, name, trace_id.value_or(""), run_status);
    if (!loaded) return std::move(loaded).error();
    Diagnosis d = diagnose_trace(*loaded, options);
    std::optional<TraceSignals> s;
    if (signals) s = extract_signals(*loaded, options.slow_threshold_ms.value_or(2500));
    return to_json(d, s ? &*s : nullptr);
  });
}

py::object compare(const py::object& primary, const py::object& compared,
                   const std::optional<std::string>& source_word,
                   const std::optional<std::string>& trace_id,
                   const std::optional<std::string>& compared_trace_id,
                   const std::string& primary_name, const std::string& compared_name,
                   const std::optional<std::string>& run_status_word,
                   const std::optional<std::string>& compared_run_status_word) {
  const Source source = source_of(source_word);
  const std::optional<RunStatus> run_status = run_status_of(run_status_word),
                                 compared_run_status = run_status_of(compared_run_status_word);
  TraceInput a = input_of(primary), b = input_of(compared);
  return report_of([&]() -> Result<OrderedJson> {
    auto first = load_input(a, source, primary_name, trace_id.value_or(""), run_status);
    if (!first) return std::move(first).error();
    // The compared input's own trace id, when given, wins over trace_id for it.
    auto second =
        load_input(b, source, compared_name, compared_trace_id.value_or(trace_id.value_or("")),
                   compared_run_status, "--compared-trace-id");
    if (!second) return std::move(second).error();
    return to_json(compare_runs(*first, *second));
  });
}

// --- Worker pieces for tracedx.dask -----------------------------------------------------

py::list list_inputs(const std::vector<std::string>& paths,
                     const std::optional<std::string>& source_word) {
  const Source source = source_of(source_word);
  std::vector<BatchInput> inputs;
  {
    py::gil_scoped_release unlocked;
    inputs = list_batch_inputs(paths, source);
  }
  // Names in the order of BatchInput::Kind.
  static constexpr const char* kKinds[] = {"document", "lines", "otlp", "stdin", "error"};
  static_assert(std::size(kKinds) == static_cast<size_t>(BatchInput::Kind::kError) + 1);
  py::list out;
  for (const auto& input : inputs) {
    py::object error =
        input.error ? py::object(py::str(input.error->display())) : py::object(py::none());
    // Paths go back as bytes: a file name need not be UTF-8.
    out.append(py::make_tuple(kKinds[static_cast<int>(input.kind)], py::bytes(input.path), error));
  }
  return out;
}

// Keeps Python's cycle collector from running while a call builds thousands of records:
// they hold no cycles, and each collection would walk all records built so far.
class CollectorPause {
 public:
  CollectorPause() : was_enabled_(PyGC_Disable() == 1) {}
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
  bool was_enabled_;
};

// The record of one trace, diagnosed without the GIL and turned into Python values at
// once, so that no more than one record is held as JSON.
void append_record(py::list& out, BatchTrace trace, Source source, const DiagnoseOptions& options,
                   std::optional<RunStatus> run_status) {
  std::optional<OrderedJson> record;
  {
    py::gil_scoped_release unlocked;
    record = batch_record(trace, source, options, nullptr, run_status);
  }
  out.append(python_of(*record));
}

// Records for whole files: one per fixture or chat file, one per trace of an OTLP file,
// read through the input layer as `tracedx batch` reads them (same ids and messages).
py::list diagnose_files(const std::vector<std::string>& paths,
                        const std::optional<std::string>& source_word,
                        const py::object& slow_threshold_ms, bool secondary_issues,
                        bool recommendations, const std::optional<std::string>& run_status_word) {
  const Source source = source_of(source_word);
  const std::optional<RunStatus> run_status = run_status_of(run_status_word);
  const DiagnoseOptions options = options_of(slow_threshold_ms, secondary_issues, recommendations);
  CollectorPause pause;
  py::list out;
  for (const auto& path : paths) {
    const std::string name = display_path(path);
    if (source != Source::kOtlp) {
      BatchTrace t{name, {}, {}, {}, {}};
      {
        py::gil_scoped_release unlocked;
        auto input = Input::open(path);
        Result<std::string> bytes = input ? input->read_all() : std::move(input).error();
        if (bytes)
          t.bytes = std::move(*bytes);
        else
          t.read_error = std::move(bytes).error().with_path(name);
      }
      append_record(out, std::move(t), source, options, run_status);
      continue;
    }
    // The OTLP reader calls back without the GIL; each record takes it to be appended.
    std::optional<Error> failed;
    {
      py::gil_scoped_release unlocked;
      auto done = for_each_otlp_trace(path, [&](OtlpItem item) {
        BatchTrace t{otlp_record_id(name, item), {}, {}, std::move(item.error), {}};
        if (!t.read_error) t.trace = std::move(item.trace);
        OrderedJson record = batch_record(t, source, options, nullptr, run_status);
        py::gil_scoped_acquire locked;
        out.append(python_of(record));
      });
      if (!done) failed = std::move(done).error().with_path(name);
    }
    if (failed)
      append_record(out, BatchTrace{name, {}, {}, std::move(*failed), {}}, source, options,
                    run_status);
  }
  return out;
}

uint64_t count_newlines_in(const std::string& path, uint64_t start, uint64_t end) {
  py::gil_scoped_release unlocked;
  auto input = Input::open(path);
  if (!input) return 0;  // the partition that reads the file reports why
  auto count = count_newlines(*input, start, end);
  return count ? *count : 0;
}

// Records for the lines of a .jsonl file that start in [start, end); `newlines_before` is
// the number of line feeds in [0, start), which numbers the lines as the command does.
py::list diagnose_lines(const std::string& path, uint64_t start, uint64_t end,
                        uint64_t newlines_before, const std::optional<std::string>& source_word,
                        const py::object& slow_threshold_ms, bool secondary_issues,
                        bool recommendations, const std::optional<std::string>& run_status_word) {
  const Source source = source_of(source_word);
  const std::optional<RunStatus> run_status = run_status_of(run_status_word);
  const DiagnoseOptions options = options_of(slow_threshold_ms, secondary_issues, recommendations);
  const std::string name = display_path(path);
  CollectorPause pause;
  py::list out;
  std::vector<BatchTrace> traces;
  std::optional<Error> failed;
  {
    py::gil_scoped_release unlocked;
    auto input = Input::open(path);
    Status read =
        input ? for_each_line_in_range(
                    *input, start, end, newlines_before,
                    [&](const Line& line) {
                      std::string id = name + ":" + std::to_string(line.number);
                      if (line.too_long) {
                        traces.push_back(BatchTrace{id, {}, {}, line_too_long(id), {}});
                      } else if (!is_blank_line(line.text)) {
                        traces.push_back(BatchTrace{id, std::string(line.text), {}, {}, {}});
                      }
                    })
              : Status(std::move(input).error());
    if (!read) failed = std::move(read).error().with_path(name);
  }
  // The partition that starts the file reports a file that cannot be read.
  if (failed) {
    if (start == 0) traces.push_back(BatchTrace{name, {}, {}, std::move(*failed), {}});
  }
  for (auto& t : traces) append_record(out, std::move(t), source, options, run_status);
  return out;
}

// --- The triage report and the gate over batch records --------------------------------

// A batch record given as its JSON text (the wrapper dumps dicts); `where` names it in the
// error, as the caller counts records.
RunRecord record_of(std::string_view text, const std::string& where) {
  auto record = parse_run_record(text);
  if (!record) throw TraceError(where + ": " + record.error().text());
  return std::move(*record);
}

void read_records(const std::string& path, const std::function<void(const RunRecord&)>& visit) {
  if (auto read = for_each_record(path, visit); !read) throw TraceError(read.error());
}

class TriageSession {
 public:
  void add_record(std::string_view text, const std::string& where) {
    builder_.add(record_of(text, where));
  }
  void add_file(const std::string& path) {
    read_records(path, [&](const RunRecord& r) { builder_.add(r); });
  }
  // The report as JSON text, text or HTML (`reports_dir`: link runs whose report exists).
  std::string finish(const std::string& format, const std::optional<std::string>& reports_dir) {
    TriageReport report = builder_.finish();
    if (format == "text") return triage_text(report);
    if (format == "html") {
      RunLink link;
      if (reports_dir && !reports_dir->empty()) {
        std::string dir = *reports_dir;
        link = [dir](const std::string& id) -> std::optional<std::string> {
          std::string href = dir + (dir.back() == '/' ? "" : "/") + run_report_name(id);
          if (path_kind(href) != PathKind::kRegular) return std::nullopt;
          return href;
        };
      }
      return triage_html(report, link);
    }
    return dump_report(triage_json(report), true);
  }

 private:
  TriageBuilder builder_;
};

class GateSession {
 public:
  GateSession(const std::string& key, uint64_t max_regressions, double max_rate_increase,
              double alpha)
      : builder_(options(key, max_regressions, max_rate_increase, alpha)) {}
  void add_record(std::string_view text, const std::string& where, bool baseline) {
    RunRecord r = record_of(text, where);
    baseline ? builder_.add_baseline(r) : builder_.add_candidate(r);
  }
  void add_file(const std::string& path, bool baseline) {
    read_records(path, [&](const RunRecord& r) {
      baseline ? builder_.add_baseline(r) : builder_.add_candidate(r);
    });
  }
  // (passed, the result as JSON text, text, HTML or JUnit XML).
  std::pair<bool, std::string> finish(const std::string& format) {
    GateResult g = builder_.finish();
    if (format == "text") return {g.passed, gate_text(g)};
    if (format == "html") return {g.passed, gate_html(g)};
    if (format == "junit") return {g.passed, gate_junit(g)};
    return {g.passed, dump_report(gate_json(g), true)};
  }

 private:
  static GateOptions options(const std::string& key, uint64_t max_regressions,
                             double max_rate_increase, double alpha) {
    auto k = parse_task_key(key);
    if (!k)
      throw py::value_error("key must be one of title, file, id, service, agent, not \"" + key +
                            "\"");
    if (!(max_rate_increase >= 0 && max_rate_increase <= 1))
      throw py::value_error("max_rate_increase must be from 0 to 1");
    if (!(alpha >= 0 && alpha <= 1)) throw py::value_error("alpha must be from 0 to 1");
    GateOptions o;
    o.key = *k;
    o.max_regressions = max_regressions;
    o.max_rate_increase = max_rate_increase;
    o.alpha = alpha;
    return o;
  }
  GateBuilder builder_;
};

}  // namespace
}  // namespace tracedx

PYBIND11_MODULE(_tracedx, m) {
  using namespace tracedx;
  m.doc() = "Deterministic diagnosis of recorded AI-agent runs.";
  static py::exception<TraceError> trace_error(m, "TraceError", PyExc_ValueError);
  g_trace_error_type = trace_error.ptr();
  // The words `source` takes, from the table of input formats.
  py::tuple sources(std::size(kSources));
  for (size_t i = 0; i < std::size(kSources); ++i)
    sources[i] = py::str(std::string(kSources[i].word));
  m.attr("SOURCES") = sources;
  py::register_exception_translator(&translate_trace_error);

  m.def("diagnose", &diagnose, py::arg("trace"), py::kw_only(), py::arg("slow_threshold_ms") = 2500,
        py::arg("secondary_issues") = true, py::arg("recommendations") = true,
        py::arg("signals") = false, py::arg("source") = py::none(),
        py::arg("trace_id") = py::none(), py::arg("name") = "-", py::arg("run_status") = py::none(),
        py::arg("exact") = false,
        R"(Diagnoses one recorded run and returns the diagnosis report as a dict.

trace: a JSON text (str or bytes) or the decoded document (dict or list).
source: "otlp", "chat", "fixture" or None (told from the input). trace_id picks one trace of an OTLP input that
holds several. name is the input's name in error messages (as the command names a file).
run_status: "failed" or "completed", the run's outcome as known, in place of the input's.
Raises TraceError with the command's message when the trace cannot be read.)");
  m.def("compare", &compare, py::arg("primary"), py::arg("compared"), py::kw_only(),
        py::arg("source") = py::none(), py::arg("trace_id") = py::none(),
        py::arg("compared_trace_id") = py::none(), py::arg("primary_name") = "-",
        py::arg("compared_name") = "-", py::arg("run_status") = py::none(),
        py::arg("compared_run_status") = py::none(),
        R"(Compares two recorded runs of the same task and returns the comparison report as a dict.

trace_id picks the OTLP trace of inputs that hold several; compared_trace_id, when given,
that of the compared input. run_status and compared_run_status: "failed" or "completed",
each run's outcome as known.)");

  m.def("_list_inputs", &list_inputs);
  m.def("_display_path", [](const std::string& path) { return display_path(path); });
  m.def("_diagnose_files", &diagnose_files);
  m.def("_count_newlines", &count_newlines_in);
  m.def("_diagnose_lines", &diagnose_lines);
  py::class_<TriageSession>(m, "_Triage")
      .def(py::init<>())
      .def("add_record", &TriageSession::add_record)
      .def("add_file", &TriageSession::add_file)
      .def("finish", &TriageSession::finish);
  py::class_<GateSession>(m, "_Gate")
      .def(py::init<const std::string&, uint64_t, double, double>())
      .def("add_record", &GateSession::add_record)
      .def("add_file", &GateSession::add_file)
      .def("finish", &GateSession::finish);
  m.attr("__version__") = TRACEDX_VERSION;
}
