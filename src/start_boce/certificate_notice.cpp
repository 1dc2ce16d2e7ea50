// A warning before the site's certificate lapses. The agents report each https site's server
// certificate expiry; when a run shows it within 14 days, the task's recipients hear of it once
// that calendar day, by the channel and to the recipients of the anomaly report.
#include <cmath>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/values.hpp"
#include "start_boce/delivery.hpp"
#include "start_boce/kept_files.hpp"
#include "start_boce/names.hpp"
#include "start_boce/plugin.hpp"
#include "start_boce/report.hpp"
#include "start_boce/text.hpp"

namespace start_boce {

namespace {

constexpr double day_seconds = 86400;
constexpr double notice_window_seconds = 14 * day_seconds;
constinit host::Name format{"format"};
constexpr std::string_view title_template = "【{}】网站证书将于{}天后过期";

// The earliest expiry the records show, the issuer named with it and the nodes that saw it.
struct Expiry {
    long long at = 0;  // Unix seconds
    Object issuer;
    std::vector<Object> nodes;
};

// Only records as the dispatch center sends them count: dicts whose `cert_expiry` is an int
// above 0. Reading them asks nothing of the host, so a run without one costs no host call.
std::optional<Expiry> earliest_expiry(Handle data) {
    std::optional<Expiry> earliest;
    for (const Object& record : host::Iteration(data)) {
        const Object value = host::dict_value(record, names::cert_expiry);
        const auto at = value ? host::small_integer(value) : std::nullopt;
        if (!at || *at <= 0) continue;
        if (!earliest || *at < earliest->at) {
            earliest = Expiry{*at, host::dict_value(record, names::cert_issuer), {}};
        }
        if (*at == earliest->at) earliest->nodes.push_back(host::dict_value(record, names::isp));
    }
    return earliest;
}

std::optional<double> seconds_of(Handle time) {
    if (const auto seconds = host::float_value(time)) return seconds;
    if (const auto seconds = host::small_integer(time)) return static_cast<double>(*seconds);
    return std::nullopt;
}

// The local calendar day, or day and time, of Unix seconds, as the panel's own dates are local.
std::string local_text(double seconds, const char* format_text) {
    constexpr double year_10000 = 253402300800;  // beyond it (or NaN), no date is written
    if (!(seconds >= 0 && seconds < year_10000)) return {};
    const auto instant = static_cast<std::time_t>(seconds);
    std::tm parts{};
    localtime_r(&instant, &parts);
    char text[32];
    return {text, std::strftime(text, sizeof text, format_text, &parts)};
}

// The days of the last notices, {task id: day}, from the file; a missing file starts empty and a
// broken one (no JSON record) is put aside and starts empty. An empty Object, and `why` says it,
// when the file cannot be used: a path that is no regular file, or a broken file that could not
// be put aside.
Object notice_days(const Host& host, Handle path, std::string& why) {
    if (!host.runtime.path_exists(path)) return host::new_dict();
    if (!host.runtime.is_regular_file(path)) {
        why = "is not a regular file";
        return {};
    }
    Object days = decoded_file(host, path);
    if (days && PyDict_Check(days.ptr())) return days;
    if (!keep_broken_file(host, path)) {
        why = "is broken and no backup name is free for it";
        return {};
    }
    return host::new_dict();
}

// Whether the notice of `task` is due today; if it is, today is remembered first, written whole:
// at most one notice a day, even when sending it fails half-way. The state is read and written
// under its lock, so runs at the same moment (other processes, threads or greenlets) each see
// the others' days. Not due, and `why` says it, when the state cannot be kept.
bool claim_todays_notice(const Host& host, Handle task, Handle today, std::string& why) {
    const Object path = host::text(certificate_notice_days_path);
    bool due = false;
    const auto claim = [&] {
        const Object days = notice_days(host, path, why);
        if (!days) return;
        const Object last = host::dict_value(days, task);
        if (last && host::equals(last, today)) return;
        // Only today's notices are kept: the file never grows beyond the tasks of one day.
        Object kept = host::new_dict();
        for (const Object& other : host::Iteration(days)) {
            const Object day = host::dict_value(days, other);
            if (day && host::equals(day, today)) host::set_item(kept, other, day);
        }
        host::set_item(kept, task, today);
        due = write_whole(host, path, host.runtime.json_dumps(kept));
        if (!due) why = "cannot be written (nor its .new beside it)";
    };
    std::optional<host::Error> unusable;
    try {
        if (!holding_lock(host, path, claim)) why = "is locked by another run for too long";
    } catch (host::Error& error) {
        if (!error.matches(PyExc_OSError)) throw;
        unusable.emplace(std::move(error));
    }
    if (unusable) why = "cannot be locked, written or replaced here (an OSError)";
    return due;
}

void append_escaped(std::string& html, Handle value) {
    std::string scratch;
    const auto utf8 = host::utf8_of(value, scratch, host::Surrogates::replaced);
    if (utf8) text::append_html_escaped(html, *utf8);
}

Object make_notice(Handle title, const Expiry& expiry) {
    std::string html = "<h2>";
    append_escaped(html, title);
    html += "</h2><hr /><p>证书到期时间：";
    html += local_text(static_cast<double>(expiry.at), "%Y-%m-%d %H:%M:%S");
    html += "</p><p>签发者：";
    if (expiry.issuer) append_escaped(html, expiry.issuer);
    html += "</p><p>检测到的节点：";
    bool first = true;
    for (const Object& node : expiry.nodes) {
        if (!first) html += "、";
        first = false;
        if (node) append_escaped(html, node);
    }
    html += "</p>";
    html += closing_text;
    return host::text(html);
}

}  // namespace

void warn_before_certificate_lapses(const Host& host, Handle self, Handle data, Handle id) {
    const auto expiry = earliest_expiry(data);
    if (!expiry) return;
    const auto now = seconds_of(host.runtime.current_time());
    if (!now) return;
    const double left = static_cast<double>(expiry->at) - *now;
    if (!(left > 0 && left <= notice_window_seconds)) return;  // a NaN "now" included
    std::string why;
    if (!claim_todays_notice(host, host::text_form(id), host::text(local_text(*now, "%Y-%m-%d")),
                             why)) {
        // An unusable state would otherwise silence every notice unseen: said once a run.
        if (!why.empty()) {
            host.runtime.print_line(host::text(std::string("start_boce: no certificate notice: ") +
                                               certificate_notice_days_path + " " + why));
        }
        return;
    }
    const Object name = host.panel.table(task_table).where("id=?", id).get_field(names::name);
    const Object title =
        host::call_method(host::text(title_template), format, name,
                          host::integer(std::lround(std::ceil(left / day_seconds))));
    deliver(host, self, names::mail_channel, title, make_notice(title, *expiry));
}

}  // namespace start_boce
