// The alert: the report and its title delivered by e-mail, to the recipient list or the mailbox
// of the mail settings, or by DingTalk.
#include "start_boce/delivery.hpp"

#include "host/values.hpp"
#include "start_boce/names.hpp"
#include "start_boce/operations.hpp"
#include "start_boce/plugin.hpp"
#include "start_boce/report.hpp"

namespace start_boce {

namespace {

void deliver_by_dingding(const Host& host, Handle self, Handle settings, Handle /*title*/,
                         Handle report) {
    if (!cpython::is_truthy(cpython::get_item(settings, names::dingding))) return;
    host.panel.completed_or_shown(
        [&] { host::sender::send_dingding(cpython::attr(self, mail_sender_attr), report); });
}

bool mail_enabled(Handle settings) {
    return cpython::is_truthy(
        cpython::get_item(cpython::get_item(settings, names::user_mail), names::user_name));
}

void deliver_by_mail(const Host& host, Handle self, Handle settings, Handle title, Handle report) {
    Object user_mail = cpython::get_item(settings, names::user_mail);
    if (!cpython::is_truthy(user_mail)) return;
    Object recipients = cpython::attr(self, mail_recipients_attr);
    if (cpython::length(recipients) == 0) {
        // No recipient list: the mailbox of the mail settings, and the sender's answer is shown.
        if (!mail_enabled(settings)) return;
        Object mailbox = cpython::text_form(
            cpython::get_item(cpython::get_item(user_mail, names::info), names::qq_mail));
        host.panel.completed_or_shown([&] {
            host.runtime.print_line(host::sender::send_mail_to(
                cpython::attr(self, mail_sender_attr), mailbox, title, report));
        });
        return;
    }
    for (const Object& recipient : cpython::Iteration(recipients)) {
        if (!mail_enabled(settings)) continue;
        Object address = cpython::text_form(recipient);
        // A missing sender fails each delivery on its own, like any other sending error.
        host.panel.completed_or_shown([&] {
            host::sender::send_mail_to(cpython::attr(self, mail_sender_attr), address, title,
                                       report);
        });
    }
}

// The alert channels by the name that `send` gives, in the order they are asked: a new channel
// is one more entry here, its deliver function above, its name in names.hpp and its sender in
// host/panel.
struct Channel {
    const cpython::Name& name;
    void (*deliver)(const Host& host, Handle self, Handle settings, Handle title, Handle report);
};
constexpr Channel channels[] = {{names::dingding_channel, deliver_by_dingding},
                                {names::mail_channel, deliver_by_mail}};

}  // namespace

Object deliver_report(const Host& host, Handle self, Handle data, Handle num, Handle id,
                      Handle send) {
    Object name = host.panel.table(task_table).where("id=?", id).get_field(names::name);
    Object title = make_title(name, num);
    // Row by row, as each is written: the run is stored with the replacement texts the report
    // shows, and a record that fails leaves those before it replaced.
    Object report = make_report(host, data, apply_replacement_texts);

    // Read once the report is complete, whatever the channel.
    deliver(host, self, send, title, report);
    return cpython::none();
}

void deliver(const Host& host, Handle self, Handle send, Handle title, Handle message) {
    Object settings = cpython::call_method(self, operation_name<get_settings>);
    for (const Channel& channel : channels) {
        if (cpython::equals(send, channel.name)) {
            channel.deliver(host, self, settings, title, message);
            break;
        }
    }
}

}  // namespace start_boce
