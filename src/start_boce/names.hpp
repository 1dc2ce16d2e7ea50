// The plug-in's constant names and texts: class constants, file paths, record keys and the texts
// it exchanges with the dispatch center and the report. Keys are made once per process.
#pragma once

#include "host/python.hpp"
#include "start_boce/wire_contract.hpp"

namespace start_boce {

// The class name, and its private names as Python mangles `__name` inside the class: the paths of
// the settings files, and the recipient list read from one of them.
inline constexpr const char* class_name = "start_boce";
inline constinit cpython::Name mail_config_path_attr{"_start_boce__mail_config"};
inline constinit cpython::Name mail_list_path_attr{"_start_boce__mail_list_data"};
inline constinit cpython::Name dingding_config_path_attr{"_start_boce__dingding_config"};
inline constinit cpython::Name mail_recipients_attr{"_start_boce__mail_list"};
// The object's attribute that holds the mail sender the constructor made (the host names it
// `mail`; it sends DingTalk messages too).
inline constinit cpython::Name mail_sender_attr{"mail"};

// Files of the host panel.
inline constexpr const char* mail_config_path = "/www/server/panel/data/stmp_mail.json";
inline constexpr const char* mail_list_path = "/www/server/panel/data/mail_list.json";
inline constexpr const char* dingding_config_path = "/www/server/panel/data/dingding.json";
inline constexpr const char* account_file_path = "/www/server/panel/data/userInfo.json";
// The day of each task's last certificate notice: {task id: "YYYY-MM-DD"}.
inline constexpr const char* certificate_notice_days_path =
    "/www/server/panel/data/boce_cert_notice.json";
inline constexpr const char* panel_root = "/www/server/panel";
inline constexpr const char* panel_class_entry = "class/";

// Tables of the host panel: the probe tasks, and one row per run.
inline constexpr const char* task_table = "boce_task";
inline constexpr const char* run_table = "boce_list";

}  // namespace start_boce

namespace start_boce::names {

// Fields of a probe result record, as the wire contract names them.
inline constinit cpython::Name isp{wire::field_isp};
inline constinit cpython::Name primary_ip{wire::field_primary_ip};
inline constinit cpython::Name http_code{wire::field_http_code};
inline constinit cpython::Name total_time{wire::field_total_time};
inline constinit cpython::Name namelookup_time{wire::field_namelookup_time};
inline constinit cpython::Name starttransfer_time{wire::field_starttransfer_time};
inline constinit cpython::Name size_download{wire::field_size_download};
inline constinit cpython::Name speed_download{wire::field_speed_download};
// What an agent's record says beyond them: why it got no HTTP answer, and when the first
// certificate of the server's chain ends (Unix seconds) and who issued the site's.
inline constinit cpython::Name reason{wire::field_reason};
inline constinit cpython::Name cert_expiry{wire::field_cert_expiry};
inline constinit cpython::Name cert_issuer{wire::field_cert_issuer};
// Which certificate of the chain ends first: its depth (0, the site's own) and its subject.
inline constinit cpython::Name cert_depth{wire::field_cert_depth};
inline constinit cpython::Name cert_subject{wire::field_cert_subject};

// Columns of the panel's tables.
inline constinit cpython::Name url{"url"};
inline constinit cpython::Name name{"name"};
inline constinit cpython::Name status{"status"};
inline constinit cpython::Name data{"data"};
inline constinit cpython::Name pid{"pid"};
inline constinit cpython::Name addtime{"addtime"};

// Keys of the account and settings records.
inline constinit cpython::Name serverid{"serverid"};
inline constinit cpython::Name user_mail{"user_mail"};
inline constinit cpython::Name user_name{"user_name"};
inline constinit cpython::Name mail_list{"mail_list"};
inline constinit cpython::Name info{"info"};
inline constinit cpython::Name qq_mail{"qq_mail"};
inline constinit cpython::Name dingding{"dingding"};

// Channels.
inline constexpr const char* mail_channel_text = "mail";  // also the default channel
inline constinit cpython::Name mail_channel{mail_channel_text};
inline constinit cpython::Name dingding_channel{"dingding"};

// Texts the dispatch center and the report use.
inline constinit cpython::Name not_responding{wire::not_responding};
inline constinit cpython::Name unresolved_address{"解析失败"};
inline constinit cpython::Name unreachable{"无法访问"};

}  // namespace start_boce::names
