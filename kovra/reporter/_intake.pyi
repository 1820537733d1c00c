from typing import Any, Callable

def flatten(report: dict[str, Any], max_nodes: int, max_depth: int,
            refused: Callable[..., BaseException]) -> list[tuple[Any, ...]]: ...
