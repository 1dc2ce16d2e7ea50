// The alert: the report and its title delivered by e-mail, to the recipient list or the mailbox
// of the mail settings, or by DingTalk.
#include "host/errors.hpp"
#include "host/panel.hpp"
#include "host/runtime.hpp"
#include "host/values.hpp"
#include "start_boce/names.hpp"
#include "start_boce/plugin.hpp"
#include "start_boce/report.hpp"

namespace start_boce {

namespace {

void deliver_by_dingding(const py::object& self, py::handle settings, py::handle /*title*/,
                         py::handle report) {
    if (!host::is_truthy(settings[names::dingding])) return;
    host::completed_or_shown([&] { host::sender::send_dingding(self.attr(sender_attr), report); });
}

bool mail_enabled(py::handle settings) {
    return host::is_truthy(settings[names::user_mail][names::user_name]);
}

void deliver_by_mail(const py::object& self, py::handle settings, py::handle title,
                     py::handle report) {
    py::object user_mail = settings[names::user_mail];
    if (!host::is_truthy(user_mail)) return;
    py::object recipients = self.attr(mail_list_attr);
    if (py::len(recipients) == 0) {
        // No recipient list: the mailbox of the mail settings, and the sender's answer is shown.
        if (!mail_enabled(settings)) return;
        py::object mailbox = host::text_form(user_mail[names::info][names::qq_mail]);
        host::completed_or_shown([&] {
            host::print_line(
                host::sender::send_mail_to(self.attr(sender_attr), mailbox, title, report));
        });
        return;
    }
    for (py::handle recipient : recipients) {
        if (!mail_enabled(settings)) continue;
        py::object address = host::text_form(recipient);
        // A missing sender fails each delivery on its own, like any other sending error.
        host::completed_or_shown(
            [&] { host::sender::send_mail_to(self.attr(sender_attr), address, title, report); });
    }
}

// The alert channels by the name that `send` gives, in the order they are asked: a new channel
// is one more entry here, its deliver function above, its name in names.hpp and its sender in
// host/panel.
struct Channel {
    const host::Name& name;
    void (*deliver)(const py::object& self, py::handle settings, py::handle title,
                    py::handle report);
};
constexpr Channel channels[] = {{names::dingding_channel, deliver_by_dingding},
                                {names::mail_channel, deliver_by_mail}};

}  // namespace

py::object send_mail(const py::object& self, const py::object& data, const py::object& num,
                     const py::object& id, const py::object& send) {
    py::object name = host::panel::table(task_table).where("id=?", id).get_field(names::name);
    py::object title = make_title(name, num);
    py::str report = make_report(data);

    // Read once the report is complete, whatever the channel.
    py::object settings = self.attr(operation_name::get_settings)();
    for (const Channel& channel : channels) {
        if (host::equals(send, channel.name)) {
            channel.deliver(self, settings, title, report);
            break;
        }
    }
    return py::none();
}

}  // namespace start_boce
