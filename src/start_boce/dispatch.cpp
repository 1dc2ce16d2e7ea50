// The dispatch request: one probe task handed to the dispatch center.
#include "host/errors.hpp"
#include "host/panel.hpp"
#include "host/runtime.hpp"
#include "host/values.hpp"
#include "start_boce/names.hpp"
#include "start_boce/plugin.hpp"

namespace start_boce {

namespace {

constexpr const char* dispatch_url = START_BOCE_DISPATCH_URL;
constexpr int dispatch_timeout = 60;
constexpr const char* task_not_found = "指定任务不存在!";
constexpr const char* dispatch_unreachable = "连接调度中心失败!";

}  // namespace

py::object send_task(const py::object& self, const py::object& id) {
    py::object url = host::panel::table(task_table).where("id=?", id).get_field(names::url);
    if (!host::is_truthy(url)) return host::panel::return_msg(false, task_not_found);

    // The identity record goes out as it is, even when it is the "please log in" status record.
    py::object request = self.attr(operation_name::create_serverid)(py::none());
    request[names::url] = url;

    // Whatever went wrong on the way, the caller gets a status record and the operator a line.
    py::object answer;
    const bool answered = host::completed_or_shown([&] {
        answer = host::json_loads(host::panel::http_post(dispatch_url, request, dispatch_timeout));
    });
    if (!answered) return host::panel::return_msg(false, dispatch_unreachable);
    return answer;
}

}  // namespace start_boce
