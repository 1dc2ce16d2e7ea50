// A warning before the site's certificate lapses, and when it has. The agents report, for each
// https site, when the first certificate of the chain the server presents ends, and which one it
// is; when a run shows such an end within 14 calendar days, or already past on any node, the
// task's recipients hear of each once that calendar day, by the channel and to the recipients of
// the anomaly report.
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/values.hpp"
#include "start_boce/calendar.hpp"
#include "start_boce/delivery.hpp"
#include "start_boce/kept_files.hpp"
#include "start_boce/names.hpp"
#include "start_boce/plugin.hpp"
#include "start_boce/report.hpp"
#include "start_boce/text.hpp"

namespace start_boce {

namespace {

constexpr long long notice_window_days = 14;
constinit cpython::Name format{"format"};
constexpr std::string_view coming_title = "【{}】网站证书将于{}天后过期";
constexpr std::string_view coming_today_title = "【{}】网站证书将于今天过期";
constexpr std::string_view lapsed_title = "【{}】网站证书已过期";
// The state's key of a task's notice of a lapsed certificate, beside the task id's own (the
// notice of one to come): one of each a day.
constexpr std::string_view lapsed_key_suffix = ":expired";

// A certificate end the records show: the earliest, what it is, and the nodes that saw it.
struct Expiry {
    long long at = 0;  // Unix seconds
    Object issuer;     // the organisation that issued the site's certificate
    Object subject;    // the certificate that ends first
    bool leaf = true;  // the site's own certificate, not an intermediate
    std::vector<Object> nodes;
};

// The earliest end still to come and the earliest already past, each with the nodes that saw it
// (every node that sees one already past).
struct Expiries {
    std::optional<Expiry> coming;
    std::optional<Expiry> lapsed;
};

// Only records as the dispatch center sends them count: dicts whose `cert_expiry` is an int
// above 0. Reading them asks nothing of the host.
bool shows_an_expiry(Handle data) {
    for (const Object& record : cpython::Iteration(data)) {
        const Object value = cpython::dict_value(record, names::cert_expiry);
        const auto at = value ? cpython::small_integer(value) : std::nullopt;
        if (at && *at > 0) return true;
    }
    return false;
}

void note_expiry(std::optional<Expiry>& slot, long long at, Handle record, bool every_node) {
    if (!slot || at < slot->at) {
        const Object depth = cpython::dict_value(record, names::cert_depth);
        const auto depth_value = depth ? cpython::small_integer(depth) : std::nullopt;
        std::vector<Object> nodes =
            slot && every_node ? std::move(slot->nodes) : std::vector<Object>{};
        slot = Expiry{at, cpython::dict_value(record, names::cert_issuer),
                      cpython::dict_value(record, names::cert_subject),
                      !depth_value || *depth_value == 0, std::move(nodes)};
    }
    if (at == slot->at || every_node)
        slot->nodes.push_back(cpython::dict_value(record, names::isp));
}

Expiries expiries(Handle data, double now) {
    Expiries found;
    for (const Object& record : cpython::Iteration(data)) {
        const Object value = cpython::dict_value(record, names::cert_expiry);
        const auto at = value ? cpython::small_integer(value) : std::nullopt;
        if (!at || *at <= 0) continue;
        if (static_cast<double>(*at) > now) {
            note_expiry(found.coming, *at, record, false);
        } else {
            note_expiry(found.lapsed, *at, record, true);
        }
    }
    return found;
}

std::optional<double> seconds_of(Handle time) {
    if (const auto seconds = cpython::float_value(time)) return seconds;
    if (const auto seconds = cpython::small_integer(time)) return static_cast<double>(*seconds);
    return std::nullopt;
}

constexpr double year_10000 = 253402300800;  // beyond it (or NaN), no date is written

std::optional<std::tm> local_parts(double seconds) {
    if (!(seconds >= 0 && seconds < year_10000)) return std::nullopt;
    const auto instant = static_cast<std::time_t>(seconds);
    std::tm parts{};
    if (localtime_r(&instant, &parts) == nullptr) return std::nullopt;
    return parts;
}

// The local calendar day, or day and time, of Unix seconds, as the panel's own dates are local.
std::string local_text(double seconds, const char* format_text) {
    const auto parts = local_parts(seconds);
    if (!parts) return {};
    char text[32];
    return {text, std::strftime(text, sizeof text, format_text, &*parts)};
}

// Calendar days in the panel's local time from the day of `now` to the day of `at`: 0 on the
// day itself, whatever the hour.
std::optional<long long> days_until(double now, long long at) {
    const auto today = local_parts(now);
    const auto then = local_parts(static_cast<double>(at));
    if (!today || !then) return std::nullopt;
    const auto day = [](const std::tm& parts) {
        return calendar::day_number(parts.tm_year + 1900LL, static_cast<unsigned>(parts.tm_mon + 1),
                                    static_cast<unsigned>(parts.tm_mday));
    };
    return day(*then) - day(*today);
}

// The days of the last notices, {task id: day}, from the file; a missing file starts empty and a
// broken one (no JSON record) is put aside and starts empty. An empty Object, and `why` says it,
// when the file cannot be used: a path that is no regular file, or a broken file that could not
// be put aside.
Object notice_days(const Host& host, Handle path, std::string& why) {
    if (!host.runtime.path_exists(path)) return cpython::new_dict();
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
    return cpython::new_dict();
}

// Whether the notice of `task` is due today; if it is, today is remembered first, written whole:
// at most one notice a day, even when sending it fails half-way. The state is read and written
// under its lock, so runs at the same moment (other processes, threads or greenlets) each see
// the others' days. Not due, and `why` says it, when the state cannot be kept.
bool claim_todays_notice(const Host& host, Handle task, Handle today, std::string& why) {
    const Object path = cpython::text(certificate_notice_days_path);
    bool due = false;
    const auto claim = [&] {
        const Object days = notice_days(host, path, why);
        if (!days) return;
        const Object last = cpython::dict_value(days, task);
        if (last && cpython::equals(last, today)) return;
        // Only today's notices are kept: the file never grows beyond the tasks of one day.
        Object kept = cpython::new_dict();
        for (const Object& other : cpython::Iteration(days)) {
            const Object day = cpython::dict_value(days, other);
            if (day && cpython::equals(day, today)) cpython::set_item(kept, other, day);
        }
        cpython::set_item(kept, task, today);
        due = write_whole(host, path, host.runtime.json_dumps(kept));
        if (!due) why = "cannot be written (nor its .new beside it)";
    };
    std::optional<cpython::Error> unusable;
    try {
        if (!holding_lock(host, path, claim)) why = "is locked by another run for too long";
    } catch (cpython::Error& error) {
        if (!error.matches(PyExc_OSError)) throw;
        unusable.emplace(std::move(error));
    }
    if (unusable) why = "cannot be locked, written or replaced here (an OSError)";
    return due;
}

void append_escaped(std::string& html, Handle value) {
    std::string scratch;
    const auto utf8 = cpython::utf8_of(value, scratch, cpython::Surrogates::replaced);
    if (utf8) text::append_html_escaped(html, *utf8);
}

Object make_notice(Handle title, const Expiry& expiry) {
    std::string html = "<h2>";
    append_escaped(html, title);
    html += "</h2><hr /><p>证书到期时间：";
    html += local_text(static_cast<double>(expiry.at), "%Y-%m-%d %H:%M:%S");
    html += "</p><p>证书：";
    if (expiry.subject) append_escaped(html, expiry.subject);
    html += expiry.leaf ? "（网站证书）" : "（中间证书）";
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
    return cpython::text(html);
}

// Sends the notice of `expiry` under `title_template`, once this calendar day for the state's
// `key`. An unusable state would otherwise silence every notice unseen: it is said once a run.
void notify_once_today(const Host& host, Handle self, Handle id, Handle key, Handle today,
                       std::string_view title_template, Handle days, const Expiry& expiry) {
    std::string why;
    if (!claim_todays_notice(host, key, today, why)) {
        if (!why.empty()) {
            host.runtime.print_line(
                cpython::text(std::string("start_boce: no certificate notice: ") +
                              certificate_notice_days_path + " " + why));
        }
        return;
    }
    const Object name = host.panel.table(task_table).where("id=?", id).get_field(names::name);
    const Object title = cpython::call_method(cpython::text(title_template), format, name, days);
    deliver(host, self, names::mail_channel, title, make_notice(title, expiry));
}

}  // namespace

void warn_before_certificate_lapses(const Host& host, Handle self, Handle data, Handle id) {
    if (!shows_an_expiry(data)) return;  // no host call for a run without one
    const auto now = seconds_of(host.runtime.current_time());
    if (!now) return;
    const Expiries found = expiries(data, *now);
    long long days = 0;
    bool coming_soon = false;
    if (found.coming) {
        if (const auto left = days_until(*now, found.coming->at)) {
            days = *left;
            coming_soon = days <= notice_window_days;
        }
    }
    if (!coming_soon && !found.lapsed) return;
    const auto today_text = local_text(*now, "%Y-%m-%d");
    if (today_text.empty()) return;  // a clock beyond any calendar
    const Object today = cpython::text(today_text);
    const Object task = cpython::text_form(id);
    if (found.lapsed) {
        notify_once_today(host, self, id, cpython::sum(task, cpython::text(lapsed_key_suffix)),
                          today, lapsed_title, cpython::none(), *found.lapsed);
    }
    if (coming_soon) {
        notify_once_today(host, self, id, task, today,
                          days == 0 ? coming_today_title : coming_title, cpython::integer(days),
                          *found.coming);
    }
}

}  // namespace start_boce
