// Server identity: MAC address, host name and processor model, kept as `serverid` in the
// account file.
#include "host/panel.hpp"
#include "host/runtime.hpp"
#include "host/values.hpp"
#include "start_boce/names.hpp"
#include "start_boce/plugin.hpp"
#include "start_boce/text.hpp"

namespace start_boce {

namespace {

constexpr const char* cpu_name_command = "cat /proc/cpuinfo|grep 'model name'|cut -d : -f2";
constexpr const char* login_required = "请先登陆Dovrin官网用户";

// The node id read as uuid.UUID(int=node_id), of which the address is the low 48 bits: the
// range is checked with the value's own comparisons, as UUID checks it, and the digits come from
// the integer value itself, as "%032x" formats it, whatever methods a subclass overrides.
std::uint64_t hardware_address(py::handle node_id) {
    const py::object uuid_limit = py::int_(1).attr("__lshift__")(128);
    if (!(py::int_(0) <= node_id && node_id < uuid_limit)) {
        throw py::value_error("int is out of range (need a 128-bit value)");
    }
    const auto low_bits = host::integer_low_bits(node_id);
    if (!low_bits) throw py::type_error("%x format: an integer is required");
    return *low_bits & 0xFFFF'FFFF'FFFFULL;
}

py::object make_server_id(const py::object& self) {
    py::object mac_address = self.attr(operation_name::get_mac_address)();
    py::object host_name = self.attr(operation_name::get_hostname)();
    py::object mac_and_host = mac_address + host_name;
    py::object cpu_name = self.attr(operation_name::get_cpuname)();
    py::object first_digest = host::panel::md5(mac_and_host);
    py::object second_digest = host::panel::md5(cpu_name);
    return first_digest + second_digest;
}

}  // namespace

py::object get_mac_address(const py::object&) {
    return py::str(text::mac_text(hardware_address(host::node_id())));
}

py::object get_cpuname(const py::object&) {
    py::object output = host::panel::exec_shell(cpu_name_command)[py::int_(0)];
    return output.attr("strip")();
}

py::object get_hostname(const py::object&) { return host::fully_qualified_name(host::host_name()); }

py::object create_serverid(const py::object& self, const py::object& /*get*/) {
    py::str account_file(account_file_path);
    if (!host::path_exists(account_file)) return host::panel::return_msg(false, login_required);
    py::object account = host::json_loads(host::panel::readFile(account_file));
    if (!host::is_truthy(account)) return host::panel::return_msg(false, login_required);
    if (host::contains(account, names::serverid)) return account;

    account[names::serverid] = make_server_id(self);
    host::panel::write_file(account_file, host::json_dumps(account));
    return account;
}

}  // namespace start_boce
