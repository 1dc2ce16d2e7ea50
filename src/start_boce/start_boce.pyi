"""Probe-task plug-in of the host panel (the module `start_boce`)."""

import json as json
import os as os
import sys as sys
import time as time
from typing import Any

import public as public  # the host panel's helper library
import send_mail as send_mail  # the host panel's sender module

__version__: str  # with the dispatch host as local label when not the maker's
DISPATCH_URL: str  # where `_send_task` posts, fixed when the module was built

class start_boce:
    _start_boce__mail_config: str  # "/www/server/panel/data/stmp_mail.json"
    _start_boce__mail_list_data: str  # "/www/server/panel/data/mail_list.json"
    _start_boce__dingding_config: str  # "/www/server/panel/data/dingding.json"

    mail: Any  # the host's sender object; absent when it could not be made
    _start_boce__mail_list: Any  # the recipient list as decoded; absent with no sender

    def __init__(self) -> None: ...
    def get_user_mail(self) -> Any:
        """False, or the decoded mail settings."""
    def get_dingding(self) -> Any:
        """False, or the decoded DingTalk settings."""
    def get_settings(self) -> dict[str, dict[str, Any]]:
        """{"user_mail": {"user_name", "mail_list", "info"}, "dingding": {"dingding", "info"}}"""
    def get_mac_address(self) -> str: ...
    def get_cpuname(self) -> str: ...
    def get_hostname(self) -> str: ...
    def create_serverid(self, get: Any) -> dict[str, Any]:
        """The account record with `serverid`, or a status record when no user is logged in."""
    def _send_task(self, id: Any) -> Any:
        """The decoded dispatch answer, or a status record."""
    def send_mail(self, data: Any, num: Any, id: Any, send: Any = "mail") -> None: ...
    def get_state(self, data: Any, id: Any) -> int:
        """0 when more than two nodes were anomalous (the report step ran, whether or not a
        message went out), else 1."""
    def start(self, id: Any) -> Any:
        """The probe records, slowest first, or the status record that ended the run."""
