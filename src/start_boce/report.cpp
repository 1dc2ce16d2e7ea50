// The anomaly report: an HTML table of the run's probe records, and the alert's title.
#include "start_boce/report.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "host/chunked_text.hpp"
#include "host/values.hpp"
#include "start_boce/names.hpp"
#include "start_boce/text.hpp"

namespace start_boce {

using cpython::Handle;
using cpython::Object;

namespace {

constinit cpython::Name format{"format"};
constexpr std::string_view title_template = "【{}】Quellan拔测监控到[{}]个测试异常";

constexpr std::string_view report_start = "<h2>Quellan企业平台拔测监控报表(";
constexpr std::string_view table_head =
    ")</h2><hr /><table  border='0' cellspacing='1' cellpadding='0' bgcolor='#888'><thead>"
    "<tr bgcolor='#FFFFFF' style='background-color: darkgray;'><th>ISP</th><th>解析地址</th>"
    "<th>响应状态</th><th>总耗时</th><th>解析耗时</th><th>处理耗时</th><th>响应大小</th>"
    "<th>传输速度</th></tr></thead><tbody>";
constexpr std::string_view table_end = "</tbody></table>";

constexpr std::string_view row_start = "<tr bgcolor='#FFFFFF' ";
constexpr std::string_view marked_row_style = "style='color:red;'";
constexpr std::string_view first_cell = "><td>";
constexpr std::string_view cell_break = "</td><td>";
constexpr std::string_view time_cell_end = "ms</td><td>";
constexpr std::string_view row_end = "/s</td></tr>";

// The report's text, built as UTF-8 a row at a time into chunks that are given back while the
// runtime text is filled at the end: the report is never held whole twice.
class ReportBuilder {
  public:
    // Hands the row written so far on to the chunks.
    void end_row() {
        text_.append(buffer_);
        buffer_.clear();
    }

    void append(std::string_view text) { buffer_ += text; }

    // A text the page shows as it is (date, sizes): it must be a text, as in `str + value`.
    void append_text(Handle value) { buffer_ += utf8_of(value, cpython::Surrogates::kept); }

    // A text from the dispatch center: escaped, since it comes from the network, and with every
    // surrogate code point made U+FFFD, so that the report can always be encoded for sending.
    void append_network_text(Handle value) {
        text::append_html_escaped(buffer_, utf8_of(value, cpython::Surrogates::replaced));
    }

    // `http_code` in its default text form, from the network like the other cells.
    void append_code(Handle value) {
        if (const auto number = cpython::small_integer(value)) {
            text::append_integer(buffer_, *number);
            return;
        }
        append_network_text(cpython::text_form(value));
    }

    // Why the node got no HTTP answer, when its record says so in a text: " (<reason>)",
    // escaped like every text from the network. Records without one add nothing.
    void append_reason(Handle record) {
        const Object reason = cpython::dict_value(record, names::reason);
        if (!reason) return;
        const auto utf8 = cpython::utf8_of(reason, scratch_, cpython::Surrogates::replaced);
        if (!utf8 || utf8->empty()) return;
        buffer_ += " (";
        text::append_html_escaped(buffer_, *utf8);
        buffer_ += ")";
    }

    // "{:.2f}".format(value)
    void append_two_decimals(Handle value) {
        if (const auto number = cpython::float_value(value)) {
            text::append_two_decimals(buffer_, *number);
        } else if (const auto integer = cpython::small_integer(value)) {
            // Python formats an int with 'f' through its nearest float, as this cast does.
            text::append_two_decimals(buffer_, static_cast<double>(*integer));
        } else {
            static constinit cpython::Name two_decimals{".2f"};
            append_text(cpython::formatted(value, two_decimals));
        }
    }

    // The finished text; the chunks are gone afterwards.
    Object finish() {
        end_row();
        cpython::TextOfSize report(text_.code_points(), text_.widest());
        text_.drain([&](std::string_view chunk) { report.put_utf8(chunk); });
        return report.finish();
    }

  private:
    std::string_view utf8_of(Handle value, cpython::Surrogates surrogates) {
        const auto utf8 = cpython::utf8_of(value, scratch_, surrogates);
        if (!utf8) cpython::raise_concatenation_error(value);
        return *utf8;
    }

    std::string buffer_;  // the row being written
    std::string scratch_;
    cpython::ChunkedText text_;
};

// The fields that get a replacement text when they are empty, which marks the row.
constexpr std::pair<const cpython::Name*, const cpython::Name*> replaced_when_empty[] = {
    {&names::primary_ip, &names::unresolved_address}, {&names::http_code, &names::unreachable}};

// The host's size formatter, `public.to_size`, looked up when the first size is written, as a
// plain call would look it up, and kept for the rest of the report.
class SizeText {
  public:
    explicit SizeText(const host::Host& host) : host_(host) {}
    Object operator()(Handle bytes) {
        if (!to_size_) to_size_ = host_.panel.to_size();
        return cpython::call(to_size_, bytes);
    }

  private:
    const host::Host& host_;
    Object to_size_;
};

void append_row(ReportBuilder& report, SizeText& size_text, Handle record, bool marked) {
    const auto field = [&](const cpython::Name& name) { return cpython::get_item(record, name); };
    report.append(row_start);
    if (marked) report.append(marked_row_style);
    report.append(first_cell);
    report.append_network_text(field(names::isp));
    report.append(cell_break);
    report.append_network_text(field(names::primary_ip));
    report.append(cell_break);
    report.append_code(field(names::http_code));
    report.append_reason(record);
    report.append(cell_break);
    report.append_two_decimals(field(names::total_time));
    report.append(time_cell_end);
    report.append_two_decimals(field(names::namelookup_time));
    report.append(time_cell_end);
    report.append_two_decimals(field(names::starttransfer_time));
    report.append(time_cell_end);
    Object size = field(names::size_download);
    report.append_text(size_text(size));
    report.append(cell_break);
    report.append_text(size_text(field(names::speed_download)));
    report.append(row_end);
    report.end_row();
}

}  // namespace

bool apply_replacement_texts(Handle record) {
    bool replaced = false;
    for (const auto& [field, replacement] : replaced_when_empty) {
        if (!cpython::is_truthy(cpython::get_item(record, *field))) {
            cpython::set_item(record, *field, *replacement);
            replaced = true;
        }
    }
    return replaced;
}

Object make_title(Handle task_name, Handle anomaly_count) {
    return cpython::call_method(cpython::text(title_template), format, task_name, anomaly_count);
}

Object make_report(const host::Host& host, Handle data, RowMarker mark_row) {
    ReportBuilder report;
    report.append(report_start);
    report.append_text(host.panel.format_date());
    report.append(table_head);
    SizeText size_text(host);
    for (const Object& record : cpython::Iteration(data)) {
        if (!cpython::is_truthy(record)) continue;
        const bool marked = mark_row(record);
        append_row(report, size_text, record, marked);
    }
    report.append(table_end);
    report.append(closing_text);
    return report.finish();
}

}  // namespace start_boce
