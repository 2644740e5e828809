"""Server-side handling of kernel callback records.

Reads each JSON record in examples/records (or the files given on the command
line), validates it with VelTarnCallbackModel and prints the accepted record
or pydantic's list of errors.
"""
import json
import pathlib
import sys

import pydantic
from vel_tarn.server.misc.models.callback_model import VelTarnCallbackModel

PYDANTIC_V2 = pydantic.VERSION.startswith("2.")


def validate(record):
    """Returns (model, None) for an accepted record, (None, errors) otherwise."""
    try:
        if PYDANTIC_V2:
            return VelTarnCallbackModel.model_validate(record), None
        return VelTarnCallbackModel.parse_obj(record), None
    except pydantic.ValidationError as exc:
        return None, exc.errors()


def dump(model):
    return model.model_dump() if PYDANTIC_V2 else model.dict()


def main(paths):
    rejected = 0
    for path in paths:
        record = json.loads(path.read_text(encoding="utf-8"))
        model, errors = validate(record)
        if model is not None:
            print("accepted %s: %s" % (path.name, json.dumps(dump(model), sort_keys=True)))
            continue
        rejected += 1
        print("rejected %s:" % path.name)
        for error in errors:
            where = ".".join(str(part) for part in error["loc"])
            print("    %s: %s [%s]" % (where, error["msg"], error["type"]))
    print("%d accepted, %d rejected (pydantic %s)" % (len(paths) - rejected, rejected, pydantic.VERSION))
    return 0


def record_paths(args):
    """The files named on the command line, or every example record."""
    if args:
        return [pathlib.Path(a) for a in args]
    return sorted((pathlib.Path(__file__).parent / "records").glob("*.json"))


if __name__ == "__main__":
    sys.exit(main(record_paths(sys.argv[1:])))
