// The probe run: count the anomalous nodes, alert above two, store the run, return the nodes
// slowest first.
#include <algorithm>
#include <numeric>
#include <optional>
#include <vector>

#include "host/errors.hpp"
#include "host/values.hpp"
#include "start_boce/names.hpp"
#include "start_boce/operations.hpp"
#include "start_boce/plugin.hpp"
#include "start_boce/wire_contract.hpp"

namespace start_boce {

namespace {

using wire::acceptable_codes;
using wire::report_threshold;

bool is_acceptable_code(Handle code) {
    // The usual kinds compare directly; anything else compares as `==` would.
    if (const auto number = cpython::small_integer(code)) {
        return std::find(std::begin(acceptable_codes), std::end(acceptable_codes), *number) !=
               std::end(acceptable_codes);
    }
    if (const auto number = cpython::float_value(code)) {
        return std::find(std::begin(acceptable_codes), std::end(acceptable_codes), *number) !=
               std::end(acceptable_codes);
    }
    for (const long acceptable : acceptable_codes) {
        if (cpython::equals(cpython::integer(acceptable), code)) return true;
    }
    return false;
}

bool is_anomalous(Handle record) {
    if (!cpython::is_truthy(record)) return false;
    if (cpython::equals(cpython::get_item(record, names::isp), names::not_responding)) return false;
    return !is_acceptable_code(cpython::get_item(record, names::http_code));
}

// Report trouble without losing the run: an ordinary error of the alert step is shown to the
// operator, and the run is stored all the same.
void send_report(const Host& host, Handle self, Handle data, long anomaly_count, Handle id) {
    host.panel.completed_or_shown([&] {
        cpython::call_method(self, operation_name<deliver_report>, data,
                             cpython::integer(anomaly_count), id);
    });
}

// The probe time of a record when it is a real number; records without one (an empty element,
// a missing field, a value that is no number) sort last. Any other error of the record's own
// methods reaches the caller.
Object total_time_of(Handle record) {
    if (!cpython::is_truthy(record)) return {};
    Object value;
    std::optional<cpython::Error> missing;
    try {
        value = cpython::get_item(record, names::total_time);
    } catch (cpython::Error& error) {
        if (!error.matches(PyExc_KeyError)) throw;
        missing.emplace(std::move(error));
    }
    if (missing || !cpython::is_orderable_number(value)) return {};
    return value;
}

// A time as an exact double: floats, and ints within 2**53.
std::optional<double> fast_key(Handle total_time) {
    if (const auto number = cpython::float_value(total_time)) return number;
    constexpr long long exact_limit = 1LL << 53;
    if (const auto integer = cpython::small_integer(total_time);
        integer && *integer <= exact_limit && *integer >= -exact_limit) {
        return static_cast<double>(*integer);
    }
    return std::nullopt;
}

// Positions of `times`, largest time first, equal times in their own order.
std::vector<std::size_t> descending_order(const std::vector<Object>& times) {
    std::vector<std::size_t> order(times.size());
    std::iota(order.begin(), order.end(), 0);
    std::vector<double> keys;
    keys.reserve(times.size());
    for (const auto& time : times) {
        const auto key = fast_key(time);
        if (!key) return cpython::positions_sorted_descending(times);
        keys.push_back(*key);
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return keys[a] > keys[b]; });
    return order;
}

// Largest total time first; equal times keep the dispatch center's order. Records without a
// usable time follow in their own order.
Object slowest_first(Handle data) {
    std::vector<Object> timed;
    std::vector<Object> times;
    std::vector<Object> untimed;
    for (const Object& record : cpython::Iteration(data)) {
        Object total_time = total_time_of(record);
        if (total_time) {
            timed.push_back(record);
            times.push_back(std::move(total_time));
        } else {
            untimed.push_back(record);
        }
    }
    Object ordered = cpython::new_list();
    for (const std::size_t position : descending_order(times)) {
        cpython::append(ordered, timed[position]);
    }
    for (const auto& record : untimed) cpython::append(ordered, record);
    return ordered;
}

}  // namespace

Object record_run(const Host& host, Handle self, Handle data, Handle id) {
    long anomaly_count = 0;
    for (const Object& record : cpython::Iteration(data)) {
        if (is_anomalous(record)) ++anomaly_count;
    }
    if (anomaly_count > report_threshold) {
        send_report(host, self, data, anomaly_count, id);
        return cpython::integer(0);
    }
    return cpython::integer(1);
}

Object start(const Host& host, Handle self, Handle id) {
    Object response = cpython::call_method(self, operation_name<request_probe>, id);
    if (cpython::contains(response, names::status)) return response;

    Object run_record = cpython::new_dict();
    cpython::set_item(run_record, names::status,
                      cpython::call_method(self, operation_name<record_run>, response, id));
    // Encoded only now, so the stored data shows the report's replacement texts.
    cpython::set_item(run_record, names::data, host.runtime.json_dumps(response));
    cpython::set_item(run_record, names::pid, id);
    cpython::set_item(run_record, names::addtime,
                      cpython::whole_number(host.runtime.current_time()));
    host.panel.table(run_table).insert(run_record);  // raises the host's error text, if any
    // Once the run is stored: a notice that fails is shown and costs the run nothing.
    host.panel.completed_or_shown(
        [&] { warn_before_certificate_lapses(host, self, response, id); });
    return slowest_first(response);
}

}  // namespace start_boce
