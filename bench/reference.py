"""A straightforward pure-Python version of the probe run's operations (count, report, store,
order), for the benchmark to compare the module's memory and speed with. It does what the module
does with the same host services, in the plainest Python."""

import json

from boce_dispatch.contract import PLUGIN_TIMEOUT_SECONDS, REPORT_THRESHOLD
from boce_dispatch.records import RUN_COLUMNS, RUN_TABLE, is_anomalous


class Reference:
    def __init__(self, public, recipients):
        self.public = public
        self.recipients = recipients

    def start(self, id):
        response = json.loads(self.public.httpPost("url", {}, PLUGIN_TIMEOUT_SECONDS))
        if "status" in response:
            return response
        record = dict(zip(RUN_COLUMNS, (self.get_state(response, id), json.dumps(response), id,
                                        0), strict=True))
        self.public.M(RUN_TABLE).insert(record)
        return sorted(response, key=lambda r: r["total_time"], reverse=True)

    def get_state(self, data, id):
        count = 0
        for node in data:
            if is_anomalous(node):
                count += 1
        if count > REPORT_THRESHOLD:
            self.send_mail(data, count, id)
            return 0
        return 1

    def send_mail(self, data, num, id):
        name = self.public.M("boce_task").where("id=?", id).getField("name")
        title = f"【{name}】Quellan拔测监控到[{num}]个测试异常"
        body = "<h2>Quellan企业平台拔测监控报表(" + self.public.format_date() + ")</h2>..."
        for node in data:
            if not node:
                continue
            style = ""
            if not node["primary_ip"]:
                node["primary_ip"] = "解析失败"
                style = "style='color:red;'"
            if not node["http_code"]:
                node["http_code"] = "无法访问"
                style = "style='color:red;'"
            body += ("<tr bgcolor='#FFFFFF' " + style + "><td>" + node["isp"] + "</td><td>"
                     + node["primary_ip"] + "</td><td>" + str(node["http_code"])
                     + "</td><td>{:.2f}ms</td><td>{:.2f}ms</td><td>{:.2f}ms</td><td>".format(
                         node["total_time"], node["namelookup_time"], node["starttransfer_time"])
                     + self.public.to_size(node["size_download"]) + "</td><td>"
                     + self.public.to_size(node["speed_download"]) + "/s</td></tr>")
        body += "</tbody></table><hr><p>此为Quellan企业版平台自动通知邮件，请勿回复</p>"
        for address in self.recipients:
            self.public.sender.qq_smtp_send(address, title=title, body=body)
