// The keys and fixed texts the plug-in exchanges with the runtime, each made once per process.
#pragma once

#include "host/values.hpp"

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

// Other record keys.
inline constinit host::Name status{"status"};
inline constinit host::Name serverid{"serverid"};
inline constinit host::Name url{"url"};
inline constinit host::Name user_mail{"user_mail"};
inline constinit host::Name user_name{"user_name"};
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
