"""The plug-in class's operations as Python methods with the same signatures: how Python refuses
a wrong call of each is what the module's own binding must say."""


class start_boce:  # noqa: N801 - the plug-in's own name, which Python's messages quote
    def __init__(self):
        pass

    def get_user_mail(self):
        pass

    def create_serverid(self, get):
        pass

    def _send_task(self, id):  # noqa: A002 - the plug-in's own parameter name
        pass

    def send_mail(self, data, num, id, send="mail"):  # noqa: A002
        pass

    def get_state(self, data, id):  # noqa: A002
        pass

    def start(self, id):  # noqa: A002
        pass
