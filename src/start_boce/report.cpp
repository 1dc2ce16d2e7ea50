// The anomaly report: an HTML table of the run's probe records, delivered by e-mail or DingTalk.
#include <string>
#include <string_view>

#include "host/panel.hpp"
#include "host/runtime.hpp"
#include "host/values.hpp"
#include "start_boce/plugin.hpp"
#include "start_boce/text.hpp"

namespace start_boce {

namespace {

constexpr const char* title_template = "【{}】Quellan拔测监控到[{}]个测试异常";

constexpr std::string_view report_start = "<h2>Quellan企业平台拔测监控报表(";
constexpr std::string_view table_head =
    ")</h2><hr /><table  border='0' cellspacing='1' cellpadding='0' bgcolor='#888'><thead>"
    "<tr bgcolor='#FFFFFF' style='background-color: darkgray;'><th>ISP</th><th>解析地址</th>"
    "<th>响应状态</th><th>总耗时</th><th>解析耗时</th><th>处理耗时</th><th>响应大小</th>"
    "<th>传输速度</th></tr></thead><tbody>";
constexpr std::string_view report_end =
    "</tbody></table><hr><p>此为Quellan企业版平台自动通知邮件，请勿回复</p>";

constexpr std::string_view row_start = "<tr bgcolor='#FFFFFF' ";
constexpr std::string_view marked_row_style = "style='color:red;'";
constexpr std::string_view first_cell = "><td>";
constexpr std::string_view cell_break = "</td><td>";
constexpr std::string_view time_cell_end = "ms</td><td>";
constexpr std::string_view row_end = "/s</td></tr>";

constexpr const char* unresolved_address = "解析失败";
constexpr const char* unreachable = "无法访问";

// Bytes per row beyond the cell texts; used only to size the buffer once.
constexpr std::size_t row_estimate = 256;

[[noreturn]] void throw_concatenation_error(py::handle value) {
    throw py::type_error(std::string("can only concatenate str (not \"") +
                         Py_TYPE(value.ptr())->tp_name + "\") to str");
}

// The report's text, built as UTF-8 in one buffer and turned into one runtime text at the end.
class ReportBuilder {
public:
    explicit ReportBuilder(py::ssize_t expected_rows) {
        buffer_.reserve(1024 + row_estimate * static_cast<std::size_t>(expected_rows));
    }

    void append(std::string_view text) { buffer_ += text; }

    // A text the page shows as it is (date, sizes): it must be a text, as in `str + value`.
    void append_text(py::handle value) { buffer_ += utf8_of(value); }

    // A text from the dispatch center: escaped, since it comes from the network.
    void append_escaped_text(py::handle value) { text::append_html_escaped(buffer_, utf8_of(value)); }

    // `http_code` in its default text form, escaped.
    void append_code(py::handle value) {
        if (const auto number = host::small_integer(value)) {
            text::append_integer(buffer_, *number);
            return;
        }
        append_escaped_text(host::text_form(value));
    }

    // "{:.2f}".format(value)
    void append_two_decimals(py::handle value) {
        if (const auto number = host::float_value(value)) {
            text::append_two_decimals(buffer_, *number);
        } else if (const auto integer = host::small_integer(value)) {
            // Python formats an int with 'f' through its nearest float, as this cast does.
            text::append_two_decimals(buffer_, static_cast<double>(*integer));
        } else {
            append_text(host::formatted(value, ".2f"));
        }
    }

    py::str finish() const { return host::text_from_utf8(buffer_); }

private:
    std::string_view utf8_of(py::handle value) {
        const auto utf8 = host::utf8_of_text(value, keep_alive_);
        if (!utf8) throw_concatenation_error(value);
        return *utf8;
    }

    std::string buffer_;
    py::object keep_alive_;
};

// Writes the replacement texts into an empty `primary_ip` or `http_code` of the caller's record;
// true when either was empty, which marks the row.
bool replace_empty_fields(py::handle record) {
    bool marked = false;
    for (const auto& [field, replacement] :
         {std::pair{"primary_ip", unresolved_address}, std::pair{"http_code", unreachable}}) {
        py::handle key = host::interned(field);
        if (!host::is_truthy(host::item(record, key))) {
            host::set_item(record, key, host::interned(replacement));
            marked = true;
        }
    }
    return marked;
}

void append_row(ReportBuilder& report, py::handle record) {
    auto field = [&](const char* name) { return host::item(record, host::interned(name)); };
    const bool marked = replace_empty_fields(record);
    report.append(row_start);
    if (marked) report.append(marked_row_style);
    report.append(first_cell);
    report.append_escaped_text(field("isp"));
    report.append(cell_break);
    report.append_escaped_text(field("primary_ip"));
    report.append(cell_break);
    report.append_code(field("http_code"));
    report.append(cell_break);
    report.append_two_decimals(field("total_time"));
    report.append(time_cell_end);
    report.append_two_decimals(field("namelookup_time"));
    report.append(time_cell_end);
    report.append_two_decimals(field("starttransfer_time"));
    report.append(time_cell_end);
    report.append_text(host::panel::to_size(field("size_download")));
    report.append(cell_break);
    report.append_text(host::panel::to_size(field("speed_download")));
    report.append(row_end);
}

py::str build_report(py::handle data) {
    ReportBuilder report(host::length_hint(data));
    report.append(report_start);
    report.append_text(host::panel::format_date());
    report.append(table_head);
    host::for_each(data, [&](py::handle record) {
        if (host::is_truthy(record)) append_row(report, record);
    });
    report.append(report_end);
    return report.finish();
}

// One delivery: an ordinary error is shown to the operator and the next delivery goes on.
template <typename Deliver>
void guarded(Deliver&& deliver) {
    try {
        deliver();
    } catch (py::error_already_set& error) {
        if (!host::is_ordinary_error(error)) throw;
        host::print_line(host::panel::describe_error(error));
    }
}

void deliver_by_dingding(py::object& self, py::handle settings, py::handle report) {
    if (!host::is_truthy(host::item(settings, host::interned("dingding")))) return;
    py::object sender = self.attr("mail");
    guarded([&] { host::sender::send_dingding(sender, report); });
}

bool mail_enabled(py::handle settings) {
    py::object user_mail = host::item(settings, host::interned("user_mail"));
    return host::is_truthy(host::item(user_mail, host::interned("user_name")));
}

void deliver_by_mail(py::object& self, py::handle settings, py::handle title, py::handle report) {
    py::object user_mail = host::item(settings, host::interned("user_mail"));
    if (!host::is_truthy(user_mail)) return;
    py::object recipients = self.attr(mail_list_attr);
    if (host::length(recipients) == 0) {
        // No recipient list: the mailbox of the mail settings, and the sender's answer is shown.
        if (!mail_enabled(settings)) return;
        py::object info = host::item(user_mail, host::interned("info"));
        py::object mailbox = host::text_form(host::item(info, host::interned("qq_mail")));
        py::object sender = self.attr("mail");
        guarded([&] {
            host::print_line(host::sender::send_mail_to(sender, mailbox, title, report));
        });
        return;
    }
    host::for_each(recipients, [&](py::handle recipient) {
        if (!mail_enabled(settings)) return;
        py::object address = host::text_form(recipient);
        py::object sender = self.attr("mail");
        guarded([&] { host::sender::send_mail_to(sender, address, title, report); });
    });
}

}  // namespace

py::object send_mail(py::object self, py::object data, py::object num, py::object id,
                     py::object send) {
    py::object name = host::panel::table("boce_task").where("id=?", id).get_field("name");
    py::object title = py::str(title_template).attr("format")(name, num);
    py::str report = build_report(data);

    // Read once the report is complete, whatever the channel.
    py::object settings = self.attr("get_settings")();
    if (host::equals(send, host::interned("dingding"))) {
        deliver_by_dingding(self, settings, report);
    } else if (host::equals(send, host::interned("mail"))) {
        deliver_by_mail(self, settings, title, report);
    }
    return py::none();
}

}  // namespace start_boce
