"""A plug-in whose dispatch answer and report are the test's, for the probe run's tests."""

import start_boce


class Run(start_boce.start_boce):
    """It answers `answer` for the dispatch request and notes the reports instead of sending."""

    answer = None
    reports = []

    def _send_task(self, id):
        return self.answer

    def send_mail(self, *args, **kwargs):
        self.reports.append((args, kwargs))


def stored(host):
    """The run records inserted into boce_list."""
    return [record for table, record in host.public.inserted if table == "boce_list"]
