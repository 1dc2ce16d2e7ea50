// The dispatch request: one probe task handed to the dispatch center.
#include "host/values.hpp"
#include "start_boce/names.hpp"
#include "start_boce/operations.hpp"
#include "start_boce/plugin.hpp"
#include "start_boce/wire_contract.hpp"

namespace start_boce {

namespace {

constexpr std::string_view dispatch_url = START_BOCE_DISPATCH_URL;
constexpr int dispatch_timeout = wire::plugin_timeout_seconds;
constexpr std::string_view task_not_found = "指定任务不存在!";
constexpr std::string_view dispatch_unreachable = "连接调度中心失败!";

}  // namespace

Object request_probe(const Host& host, Handle self, Handle id) {
    Object url = host.panel.table(task_table).where("id=?", id).get_field(names::url);
    if (!cpython::is_truthy(url)) return host.panel.return_msg(false, task_not_found);

    // The identity record goes out as it is, even when it is the "please log in" status record.
    Object request = cpython::call_method(self, operation_name<create_serverid>, cpython::none());
    cpython::set_item(request, names::url, url);

    // Whatever went wrong on the way, the caller gets a status record and the operator a line.
    Object answer;
    const bool answered = host.panel.completed_or_shown([&] {
        answer =
            host.runtime.json_loads(host.panel.http_post(dispatch_url, request, dispatch_timeout));
    });
    if (!answered) return host.panel.return_msg(false, dispatch_unreachable);
    return answer;
}

}  // namespace start_boce
