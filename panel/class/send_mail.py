"""The host panel's message sender (stand-in): HTML e-mail over SMTP and DingTalk messages, with
the panel's mail and DingTalk settings."""

import json
import smtplib
import urllib.request
from email.header import Header
from email.mime.text import MIMEText
from email.utils import formataddr, formatdate, make_msgid

MAIL_SETTINGS = "/www/server/panel/data/stmp_mail.json"
DINGDING_SETTINGS = "/www/server/panel/data/dingding.json"


def _load(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


class send_mail:
    """Mail settings: {"qq_mail": sender address, "qq_stmp_pwd": password (may be empty),
    "hosts": SMTP server, "port": port, "tls": "starttls" | "ssl" | "none"}.
    DingTalk settings: {"dingding_url": webhook URL}."""

    def qq_smtp_send(self, email, title, body):
        """Sends one HTML e-mail to `email`; True when the server accepted it. Errors raise."""
        settings = _load(MAIL_SETTINGS)
        message = MIMEText(body, "html", "utf-8")
        message["From"] = formataddr(("Quellan", settings["qq_mail"]))
        message["To"] = email
        message["Subject"] = Header(title, "utf-8")
        # What any mail client writes; a real MTA may reject or score a message without them.
        message["Date"] = formatdate(localtime=True)
        message["Message-ID"] = make_msgid(domain=settings["qq_mail"].rpartition("@")[2] or None)
        host, port = settings.get("hosts", "127.0.0.1"), int(settings.get("port", 25))
        tls = settings.get("tls", "none")
        smtp_class = smtplib.SMTP_SSL if tls == "ssl" else smtplib.SMTP
        with smtp_class(host, port, timeout=30) as server:
            if tls == "starttls":
                server.starttls()
            if settings.get("qq_stmp_pwd"):
                server.login(settings["qq_mail"], settings["qq_stmp_pwd"])
            server.sendmail(settings["qq_mail"], [email], message.as_string())
        return True

    def dingding_send(self, content):
        """Posts `content` as one DingTalk text message to the configured webhook."""
        settings = _load(DINGDING_SETTINGS)
        payload = json.dumps({"msgtype": "text", "text": {"content": content}}).encode("utf-8")
        request = urllib.request.Request(
            settings["dingding_url"], data=payload, method="POST",
            headers={"Content-Type": "application/json; charset=utf-8"})
        with urllib.request.urlopen(request, timeout=30) as response:
            return json.loads(response.read().decode("utf-8") or "{}")
