"""What the center's apps keep, under the keys their handlers read."""

import asyncio

from aiohttp import web

from boce_dispatch.center import front
from boce_dispatch.center.config import CenterConfig
from boce_dispatch.center.link import Link
from boce_dispatch.center.metrics import Metrics
from boce_dispatch.center.nodes import NodeHealth

CONFIG = web.AppKey("config", CenterConfig)
BUSY = web.AppKey("busy", set)  # the serverids whose probe is under way
GUARD = web.AppKey("guard", front.Guard)
METRICS = web.AppKey("metrics", Metrics)
LINK = web.AppKey("link", Link)
HEALTH = web.AppKey("health", NodeHealth)  # presence, answers and cut-off of each node
LIMIT = web.AppKey("limit", int)  # probes at once the center takes
# Set once the center stops: it takes no new panel and answers those in flight.
STOPPING = web.AppKey("stopping", asyncio.Event)
# The operators' app on a listener of its own reports on the panels' app.
CENTER_APP = web.AppKey("center_app", web.Application)
