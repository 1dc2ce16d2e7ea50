// The anomaly report and its title, as texts. The report only reads the records; which rows are
// marked is said by `mark_row`, called on each record just before its row is written.
// apply_replacement_texts is the marker the alert uses: it writes the replacement texts into an
// empty address or code and marks the rows it changed.
#pragma once

#include <string_view>

#include "host/host.hpp"
#include "host/python.hpp"

namespace start_boce {

// The paragraph that ends every message the plug-in sends, after its last rule.
inline constexpr std::string_view closing_text =
    "<hr><p>此为Quellan企业版平台自动通知邮件，请勿回复</p>";

cpython::Object make_title(cpython::Handle task_name, cpython::Handle anomaly_count);
using RowMarker = bool (*)(cpython::Handle record);
bool apply_replacement_texts(cpython::Handle record);
cpython::Object make_report(const host::Host& host, cpython::Handle data, RowMarker mark_row);

}  // namespace start_boce
