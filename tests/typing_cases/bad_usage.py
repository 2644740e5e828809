"""Server code with two mistakes a type checker must catch."""
from vel_tarn.server.misc.models.callback_model import VelTarnCallbackModel

wrong_type = VelTarnCallbackModel(
    procedure="p", status=3, msg="m", successful={}, failed={}  # status must be a str
)
misspelt = VelTarnCallbackModel(
    procedure="p", status="s", mesage="m", successful={}, failed={}  # msg misspelt
)
