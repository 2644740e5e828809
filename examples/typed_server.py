"""Server code as a type checker sees it: correct use of the model."""
from typing import Any, Dict, List

from vel_tarn.server.misc.models.callback_model import VelTarnCallbackModel


def record_outcome(procedure: str, done: Dict[str, Any], errors: Dict[str, Any]) -> VelTarnCallbackModel:
    return VelTarnCallbackModel(
        procedure=procedure,
        status="done" if not errors else "partial",
        msg="%d done, %d failed" % (len(done), len(errors)),
        successful=done,
        failed=errors,
    )


def failed_keys(callback: VelTarnCallbackModel) -> List[str]:
    return sorted(callback.failed)
