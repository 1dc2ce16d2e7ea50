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
    if (!host::is_truthy(host::get_item(settings, names::dingding))) return;
    host.panel.completed_or_shown(
        [&] { host::sender::send_dingding(host::attr(self, mail_sender_attr), report); });
}

bool mail_enabled(Handle settings) {
    return host::is_truthy(
        host::get_item(host::get_item(settings, names::user_mail), names::user_name));
}

void deliver_by_mail(const Host& host, Handle self, Handle settings, Handle title, Handle report) {
    Object user_mail = host::get_item(settings, names::user_mail);
    if (!host::is_truthy(user_mail)) return;
    Object recipients = host::attr(self, mail_recipients_attr);
    if (host::length(recipients) == 0) {
        // No recipient list: the mailbox of the mail settings, and the sender's answer is shown.
        if (!mail_enabled(settings)) return;
        Object mailbox =
            host::text_form(host::get_item(host::get_item(user_mail, names::info), names::qq_mail));
        host.panel.completed_or_shown([&] {
            host.runtime.print_line(host::sender::send_mail_to(host::attr(self, mail_sender_attr),
                                                               mailbox, title, report));
        });
        return;
    }
    for (const Object& recipient : host::Iteration(recipients)) {
        if (!mail_enabled(settings)) continue;
        Object address = host::text_form(recipient);
        // A missing sender fails each delivery on its own, like any other sending error.
        host.panel.completed_or_shown([&] {
            host::sender::send_mail_to(host::attr(self, mail_sender_attr), address, title, report);
        });
    }
}

// The alert channels by the name that `send` gives, in the order they are asked: a new channel
// is one more entry here, its deliver function above, its name in names.hpp and its sender in
// host/panel.
struct Channel {
    const host::Name& name;
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
    return host::none();
}

void deliver(const Host& host, Handle self, Handle send, Handle title, Handle message) {
    Object settings = host::call_method(self, operation_name<get_settings>);
    for (const Channel& channel : channels) {
        if (host::equals(send, channel.name)) {
            channel.deliver(host, self, settings, title, message);
            break;
        }
    }
}

}  // namespace start_boce
