#include "serve/pages.h"

#include <algorithm>
#include <ctime>

#include "report/report_html.h"

namespace tracedx {
namespace {

// The outcomes a diagnosis gives, for the filter's choice list.
constexpr std::string_view kOutcomes[] = {"success", "failed", "degraded", "unknown"};

// Time windows offered as links: the filter with `since` that long before now.
struct Window {
  std::string_view name;
  int64_t ms;
};
constexpr Window kWindows[] = {{"last 15 minutes", 15 * 60000},
                               {"last hour", 3600000},
                               {"last 24 hours", 86400000},
                               {"last 7 days", 7 * 86400000LL}};

constexpr std::string_view kIndexStyle = R"css(
form.filters { display: flex; flex-wrap: wrap; gap: 8px 14px; align-items: end; }
form.filters label { display: flex; flex-direction: column; font-size: 12px; color: var(--muted); }
form.filters input, form.filters select { font: inherit; padding: 3px 6px; color: var(--fg);
  background: var(--bg); border: 1px solid var(--line); border-radius: 4px; }
td.num { text-align: right; white-space: nowrap; } td.time { white-space: nowrap; }
.status-pending { color: var(--medium); } .status-failed { color: var(--high); }
)css";

std::string percent_encoded(std::string_view v) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : v) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// The query of a filter (without "?"), for links that keep it.
std::string query_of(const TraceFilter& f) {
  std::string q;
  auto add = [&](std::string_view name, const std::string& value) {
    q += (q.empty() ? "" : "&") + std::string(name) + "=" + percent_encoded(value);
  };
  if (f.label) add("label", *f.label);
  if (f.outcome) add("outcome", *f.outcome);
  if (f.service) add("service", *f.service);
  if (f.since) add("since", std::to_string(*f.since));
  if (f.until) add("until", std::to_string(*f.until));
  if (f.limit != 100) add("limit", std::to_string(f.limit));
  return q;
}

std::string link(const TraceFilter& f, std::string_view text) {
  std::string q = query_of(f);
  return "<a href=\"" + html_escape(q.empty() ? "./" : "?" + q) + "\">" + html_escape(text) +
         "</a>";
}

std::string input(std::string_view name, std::string_view caption,
                  const std::optional<std::string>& value, std::string_view type = "text") {
  return "<label>" + std::string(caption) + "<input type=\"" + std::string(type) + "\" name=\"" +
         std::string(name) + "\" value=\"" + html_escape(value.value_or("")) + "\"></label>";
}

std::optional<std::string> number_text(const std::optional<int64_t>& v) {
  return v ? std::optional<std::string>(std::to_string(*v)) : std::nullopt;
}

std::string filter_form(const TraceFilter& f) {
  std::string out = "<form class=\"filters card\" method=\"get\" action=\"./\">";
  out += input("label", "primary label", f.label);
  out += "<label>outcome<select name=\"outcome\"><option value=\"\">any</option>";
  for (std::string_view o : kOutcomes) {
    out += "<option value=\"" + std::string(o) + "\"" + (f.outcome == o ? " selected" : "") + ">" +
           std::string(o) + "</option>";
  }
  // A value typed into the URL that is not in the list still shows as chosen.
  if (f.outcome &&
      std::find(std::begin(kOutcomes), std::end(kOutcomes), *f.outcome) == std::end(kOutcomes)) {
    out += "<option selected value=\"" + html_escape(*f.outcome) + "\">" + html_escape(*f.outcome) +
           "</option>";
  }
  out += "</select></label>";
  out += input("service", "service", f.service);
  out += input("since", "since (Unix ms)", number_text(f.since), "number");
  out += input("until", "until (Unix ms)", number_text(f.until), "number");
  out += input("limit", "limit", std::to_string(f.limit), "number");
  out += "<button type=\"submit\">Filter</button> <a href=\"./\">clear</a></form>";
  return out;
}

std::string windows(const IndexPage& page) {
  std::string out = "<p class=\"meta\">";
  for (const auto& w : kWindows) {
    TraceFilter f = page.filter;
    f.since = page.now_ms - w.ms;
    f.until.reset();
    out += "<span>" + link(f, w.name) + "</span>";
  }
  TraceFilter all = page.filter;
  all.since.reset();
  all.until.reset();
  out += "<span>" + link(all, "all time") + "</span></p>";
  return out;
}

std::string window_text(const TraceFilter& f) {
  if (f.since && f.until)
    return "last seen from " + utc_time(*f.since) + " to " + utc_time(*f.until) + " UTC";
  if (f.since) return "last seen since " + utc_time(*f.since) + " UTC";
  if (f.until) return "last seen before " + utc_time(*f.until) + " UTC";
  return "all time";
}

std::string label_table(const IndexPage& page) {
  std::string out =
      "<h2>Runs per primary label</h2><p class=\"meta\">" + html_escape(window_text(page.filter));
  if (page.filter.service) out += ", service " + html_escape(*page.filter.service);
  if (page.filter.outcome) out += ", outcome " + html_escape(*page.filter.outcome);
  out += "</p>";
  if (page.label_counts.empty()) return out + "<p class=\"meta\">No runs.</p>";
  out += "<table><tr><th>primary label</th><th>runs</th></tr>";
  for (const auto& [label, n] : page.label_counts) {
    out += "<tr><td>";
    if (label) {
      TraceFilter f = page.filter;
      f.label = *label;
      out += link(f, *label);
    } else {
      out += "<span class=\"meta\">none (pending, failed or no finding)</span>";
    }
    out += "</td><td class=\"num\">" + std::to_string(n) + "</td></tr>";
  }
  return out + "</table>";
}

std::string cell(const std::optional<std::string>& v) {
  return v ? html_escape(*v) : std::string("<span class=\"meta\">-</span>");
}

std::string runs_table(const IndexPage& page) {
  std::string out = "<h2>Runs</h2>";
  if (page.traces.empty()) return out + "<p class=\"meta\">No runs match.</p>";
  out +=
      "<table><tr><th>last seen (UTC)</th><th>service</th><th>title</th><th>outcome</th>"
      "<th>primary label</th><th>steps</th><th>duration</th></tr>";
  for (const auto& t : page.traces) {
    out += "<tr><td class=\"time\">" + utc_time(t.last_seen) + "</td><td>" + cell(t.service) +
           "</td><td><a href=\"traces/" + html_escape(t.id) + "\">" +
           html_escape(t.title.value_or(t.id)) + "</a>";
    if (t.status != "diagnosed") {
      out += " <span class=\"status-" + html_escape(t.status) + "\">(" + html_escape(t.status) +
             ")</span>";
    }
    out += "</td><td>" + cell(t.outcome) + "</td><td>";
    if (t.label) {
      out += html_escape(*t.label);
      if (t.severity) out += " " + severity_badge(*t.severity);
    } else {
      out += "<span class=\"meta\">-</span>";
    }
    out += "</td><td class=\"num\">" + (t.step_count ? std::to_string(*t.step_count) : "-") +
           "</td><td class=\"num\">" +
           (t.duration_ms ? std::to_string(*t.duration_ms) + " ms" : "-") + "</td></tr>";
  }
  return out + "</table>";
}

}  // namespace

std::string utc_time(int64_t unix_ms) {
  std::time_t seconds = static_cast<std::time_t>(unix_ms / 1000);
  std::tm tm{};
  if (!gmtime_r(&seconds, &tm)) return std::to_string(unix_ms);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

std::string index_html(const IndexPage& page) {
  std::string body = "<style>" + std::string(kIndexStyle) + "</style><h1>Recent runs</h1>";
  body += "<p class=\"meta\"><span>" + std::to_string(page.traces.size()) +
          " runs shown, newest first</span><span>now " + utc_time(page.now_ms) + " UTC</span></p>";
  body += filter_form(page.filter);
  body += windows(page);
  body += label_table(page);
  body += runs_table(page);
  return html_page("tracedx: recent runs", body);
}

}  // namespace tracedx
