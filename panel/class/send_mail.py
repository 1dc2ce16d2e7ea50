"""The host panel's message sender (stand-in): HTML e-mail over SMTP and DingTalk messages, with
the panel's mail and DingTalk settings."""

import json
import smtplib
import ssl
import urllib.request
from email.header import Header
from email.mime.text import MIMEText
from email.utils import formataddr, formatdate, make_msgid

MAIL_SETTINGS = "/www/server/panel/data/stmp_mail.json"
DINGDING_SETTINGS = "/www/server/panel/data/dingding.json"


def _load(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


class _NoRedirect(urllib.request.HTTPRedirectHandler):
    """A webhook that redirects has not taken the message: the redirect is an error, never a GET
    without the message."""

    def redirect_request(self, *args, **kwargs):
        return None


class send_mail:
    """Mail settings: {"qq_mail": sender address, "qq_stmp_pwd": password (may be empty),
    "hosts": SMTP server, "port": port, "tls": "starttls" | "ssl" | "none", "ca_file": CA
    certificates to trust instead of the system's (optional)}. The server's certificate is
    always verified. DingTalk settings: {"dingding_url": webhook URL}."""

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
        context = ssl.create_default_context(cafile=settings.get("ca_file"))
        if tls == "ssl":
            server = smtplib.SMTP_SSL(host, port, timeout=30, context=context)
        else:
            server = smtplib.SMTP(host, port, timeout=30)
        with server:
            if tls == "starttls":
                server.starttls(context=context)
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
        with urllib.request.build_opener(_NoRedirect).open(request, timeout=30) as response:
            return json.loads(response.read().decode("utf-8") or "{}")
