#include "fleet/record_reader.h"

#include "input/input.h"

namespace tracedx {

Status for_each_record(const std::string& path,
                       const std::function<void(const RunRecord&)>& visit) {
  const std::string name = display_path(path);
  auto input = Input::open(path);
  if (!input) return std::move(input).error().with_path(name);
  LineReader reader(*input);
  Line line;
  for (;;) {
    auto got = reader.next(line);
    if (!got) return std::move(got).error().with_path(name);
    if (!*got) return Ok{};
    const std::string where = name + ":" + std::to_string(line.number);
    if (line.too_long) return line_too_long(where);
    if (is_blank_line(line.text)) continue;
    auto record = parse_run_record(line.text);
    if (!record) return Error::message(where + ": " + record.error().text());
    visit(*record);
  }
}

}  // namespace tracedx
