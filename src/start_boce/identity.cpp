// Server identity: MAC address, host name and processor model, kept as `serverid` in the
// account file.
#include "host/values.hpp"
#include "start_boce/names.hpp"
#include "start_boce/operations.hpp"
#include "start_boce/plugin.hpp"
#include "start_boce/text.hpp"

namespace start_boce {

namespace {

constexpr std::string_view cpu_name_command = "cat /proc/cpuinfo|grep 'model name'|cut -d : -f2";
constexpr std::string_view login_required = "请先登陆Dovrin官网用户";
constinit cpython::Name strip{"strip"}, left_shift{"__lshift__"};

// The node id read as uuid.UUID(int=node_id), of which the address is the low 48 bits: the
// range is checked with the value's own comparisons, as UUID checks it, and the digits come from
// the integer value itself, as "%032x" formats it, whatever methods a subclass overrides.
std::uint64_t hardware_address(Handle node_id) {
    const Object zero = cpython::integer(0);
    const Object uuid_limit =
        cpython::call_method(cpython::integer(1), left_shift, cpython::integer(128));
    if (!(cpython::compares(zero, node_id, Py_LE) &&
          cpython::compares(node_id, uuid_limit, Py_LT))) {
        cpython::raise(PyExc_ValueError, "int is out of range (need a 128-bit value)");
    }
    const auto low_bits = cpython::integer_low_bits(node_id);
    if (!low_bits) cpython::raise(PyExc_TypeError, "%x format: an integer is required");
    return *low_bits & 0xFFFF'FFFF'FFFFULL;
}

Object make_server_id(const Host& host, Handle self) {
    Object mac_address = cpython::call_method(self, operation_name<get_mac_address>);
    Object host_name = cpython::call_method(self, operation_name<get_hostname>);
    Object mac_and_host = cpython::sum(mac_address, host_name);
    Object cpu_name = cpython::call_method(self, operation_name<get_cpuname>);
    Object first_digest = host.panel.md5(mac_and_host);
    Object second_digest = host.panel.md5(cpu_name);
    return cpython::sum(first_digest, second_digest);
}

}  // namespace

Object get_mac_address(const Host& host, Handle) {
    return cpython::text(text::mac_text(hardware_address(host.runtime.node_id())));
}

Object get_cpuname(const Host& host, Handle) {
    Object output = cpython::get_item(host.panel.exec_shell(cpu_name_command), cpython::integer(0));
    return cpython::call_method(output, strip);
}

Object get_hostname(const Host& host, Handle) {
    return host.runtime.fully_qualified_name(host.runtime.host_name());
}

Object create_serverid(const Host& host, Handle self, Handle /*get*/) {
    Object account_file = cpython::text(account_file_path);
    if (!host.runtime.path_exists(account_file))
        return host.panel.return_msg(false, login_required);
    Object account = host.runtime.json_loads(host.panel.readFile(account_file));
    if (!cpython::is_truthy(account)) return host.panel.return_msg(false, login_required);
    if (cpython::contains(account, names::serverid)) return account;

    cpython::set_item(account, names::serverid, make_server_id(host, self));
    host.panel.write_file(account_file, host.runtime.json_dumps(account));
    return account;
}

}  // namespace start_boce
