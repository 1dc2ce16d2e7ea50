// The plug-in's constant names and texts: class constants, file paths, record keys and the texts
// it exchanges with the dispatch center and the report. Keys are made once per process.
#pragma once

#include "host/python.hpp"

namespace start_boce {

// The class name, and its private names as Python mangles `__name` inside the class.
inline constexpr const char* class_name = "start_boce";
inline constinit host::Name mail_config_attr{"_start_boce__mail_config"};
inline constinit host::Name mail_list_data_attr{"_start_boce__mail_list_data"};
inline constinit host::Name dingding_config_attr{"_start_boce__dingding_config"};
inline constinit host::Name mail_list_attr{"_start_boce__mail_list"};
// The object's attribute that holds the sender object the constructor made.
inline constinit host::Name sender_attr{"mail"};

// Files of the host panel.
inline constexpr const char* mail_config_path = "/www/server/panel/data/stmp_mail.json";
inline constexpr const char* mail_list_data_path = "/www/server/panel/data/mail_list.json";
inline constexpr const char* dingding_config_path = "/www/server/panel/data/dingding.json";
inline constexpr const char* account_file_path = "/www/server/panel/data/userInfo.json";
inline constexpr const char* panel_root = "/www/server/panel";
inline constexpr const char* panel_class_entry = "class/";

// Tables of the host panel: the probe tasks, and one row per run.
inline constexpr const char* task_table = "boce_task";
inline constexpr const char* run_table = "boce_list";

}  // namespace start_boce

namespace start_boce::names {

// Fields of a probe result record.
inline constinit host::Name isp{"isp"};
inline constinit host::Name primary_ip{"primary_ip"};
inline constinit host::Name http_code{"http_code"};
inline constinit host::Name total_time{"total_time"};
inline constinit host::Name namelookup_time{"namelookup_time"};
inline constinit host::Name starttransfer_time{"starttransfer_time"};
inline constinit host::Name size_download{"size_download"};
inline constinit host::Name speed_download{"speed_download"};

// Columns of the panel's tables.
inline constinit host::Name url{"url"};
inline constinit host::Name name{"name"};
inline constinit host::Name status{"status"};
inline constinit host::Name data{"data"};
inline constinit host::Name pid{"pid"};
inline constinit host::Name addtime{"addtime"};

// Keys of the account and settings records.
inline constinit host::Name serverid{"serverid"};
inline constinit host::Name user_mail{"user_mail"};
inline constinit host::Name user_name{"user_name"};
inline constinit host::Name mail_list{"mail_list"};
inline constinit host::Name info{"info"};
inline constinit host::Name qq_mail{"qq_mail"};
inline constinit host::Name dingding{"dingding"};

// Channels.
inline constinit host::Name mail_channel{"mail"};
inline constinit host::Name dingding_channel{"dingding"};

// Texts the dispatch center and the report use.
inline constinit host::Name not_responding{"节点未响应"};
inline constinit host::Name unresolved_address{"解析失败"};
inline constinit host::Name unreachable{"无法访问"};

}  // namespace start_boce::names
