"""``quorlix serve``: answers questions over HTTP, with streamed progress, history and a page."""

from .app import create_app
from .manager import Limits
from .service import Service
from .store import RunStore, StoreError

__all__ = ["Limits", "RunStore", "Service", "StoreError", "create_app"]
