"""The same model written as a plain Python module, for comparison."""
from typing import Any, Dict

from pydantic import BaseModel


class VelTarnCallbackModel(BaseModel):
    """Callback Data Model for kernels to send data to server"""

    procedure: str
    status: str
    msg: str
    successful: Dict[str, Any]
    failed: Dict[str, Any]
