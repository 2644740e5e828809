from typing import Any as Any, Dict as Dict

from pydantic import BaseModel as BaseModel

class VelTarnCallbackModel(BaseModel):
    """Callback Data Model for kernels to send data to server"""

    procedure: str
    status: str
    msg: str
    successful: Dict[str, Any]
    failed: Dict[str, Any]

__test__: Dict[Any, Any]
