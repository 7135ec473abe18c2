"""Optimizers."""

from typing import Any

from typing_extensions import disjoint_base

@disjoint_base
class Alpha:
    """The first optimizer in Tessaron."""

    def __init__(self, mutation_rate: float = 0.5) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __getstate__(self) -> dict[str, Any]: ...
    def __setstate__(self, state: dict[str, Any], /) -> None: ...
