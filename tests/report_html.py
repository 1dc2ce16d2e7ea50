"""The anomaly report's HTML as the tests expect it, written out once."""

TAIL = "</tbody></table><hr><p>此为Quellan企业版平台自动通知邮件，请勿回复</p>"


def head(date):
    return ("<h2>Quellan企业平台拔测监控报表(%s)</h2><hr /><table  border='0' "
            "cellspacing='1' cellpadding='0' bgcolor='#888'><thead><tr bgcolor='#FFFFFF' "
            "style='background-color: darkgray;'><th>ISP</th><th>解析地址</th><th>响应状态</th>"
            "<th>总耗时</th><th>解析耗时</th><th>处理耗时</th><th>响应大小</th><th>传输速度</th>"
            "</tr></thead><tbody>" % date)


def row(cells, marked=False):
    """One row from its eight cell texts; the times without their "ms"."""
    style = "style='color:red;'" if marked else ""
    isp, ip, code, total, lookup, transfer, size, speed = cells
    return ("<tr bgcolor='#FFFFFF' %s><td>%s</td><td>%s</td><td>%s</td><td>%sms</td><td>%sms"
            "</td><td>%sms</td><td>%s</td><td>%s/s</td></tr>"
            % (style, isp, ip, code, total, lookup, transfer, size, speed))
