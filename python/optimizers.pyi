"""Optimizers."""

from typing import Any, Literal

from typing_extensions import disjoint_base

@disjoint_base
class Alpha:
    """The first optimizer in Tessaron."""

    def __init__(self, mutation_rate: float = 0.5) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __getstate__(self) -> dict[str, Any]: ...
    def __setstate__(self, state: dict[str, Any], /) -> None: ...

@disjoint_base
class Beta:
    """An optimizer that learns with few evaluations."""

    def __init__(
        self,
        *,
        step_size: float | None = None,
        init_scale: float = 1.0,
        elites: int = 2,
        parent_fraction: float = 0.08,
        structure_rate: float = 0.1,
        max_hidden: int = 8,
        size_penalty: float = 0.0001,
        keep_model: bool = True,
        reevaluate: bool = False,
        search: Literal["covariance", "select", "gradient"] = "covariance",
    ) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __getstate__(self) -> dict[str, Any]: ...
    def __setstate__(self, state: dict[str, Any], /) -> None: ...
