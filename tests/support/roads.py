"""What the fast roads' tests compare between a fast road and its generic road: a
call's outcome, the Python code that ran for it, and the depth left."""
import sys


def outcome(call):
    try:
        return "text", call()
    except Exception as error:  # noqa: BLE001 - the error itself is compared
        return type(error), str(error)


def code_run(call, counted, judge=outcome):
    """judge(call), and the names of the Python functions that ran for it whose
    code object `counted` accepts, in order."""
    ran = []

    def profile(frame, event, arg):
        if event == "call" and counted(frame.f_code):
            ran.append(frame.f_code.co_name)

    sys.setprofile(profile)
    try:
        return judge(call), ran
    finally:
        sys.setprofile(None)


def at_depth(depth, call):
    """call()'s text `depth` Python calls further down, or its RecursionError's."""
    if depth:
        return at_depth(depth - 1, call)
    try:
        return "text", call()
    except RecursionError as error:
        return RecursionError, str(error)


def depth_room(depth=0):
    """How many more Python calls fit here before RecursionError."""
    try:
        return depth_room(depth + 1)
    except RecursionError:
        return depth
