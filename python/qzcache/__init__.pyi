"""Time-sampled animation caches (qzCacheShared) with numpy arrays in and out."""

import enum
import os
from types import TracebackType
from typing import Literal, Mapping, NamedTuple, Optional, Sequence, Type, Union

import numpy as np
import numpy.typing as npt

_Path = Union[str, "os.PathLike[str]"]
_ChannelKey = Union[str, int]
_Interpolation = Literal["none", "previous", "next", "linear", "catmull-rom"]
_Layout = Literal["one-file", "per-frame"]
_Format = Literal["kcc", "kcx"]
_TypeName = Literal["float_vector_array", "double_vector_array", "float_array",
                    "double_array", "int32_array", "double"]

class Error(Exception):
    """A cache could not be read or written."""
    filename: Optional[str]
    channel: Optional[str]
    time: Optional[int]

class FileError(Error, OSError):
    """A file of the cache (or a PC2 or MDD file) is missing, damaged or cannot be written."""
    filename: Optional[str]

class NotFoundError(Error, KeyError):
    """No such channel, or nothing stored to answer a read at that time."""

class DataType(str, enum.Enum):
    """The type of a channel's samples; each member is also its name as a str."""
    FLOAT_VECTOR_ARRAY = "float_vector_array"
    DOUBLE_VECTOR_ARRAY = "double_vector_array"
    FLOAT_ARRAY = "float_array"
    DOUBLE_ARRAY = "double_array"
    INT32_ARRAY = "int32_array"
    DOUBLE = "double"
    UNKNOWN = "unknown"

class Channel(NamedTuple):
    """One channel of a cache as its description states it."""
    name: str
    type: DataType
    interpretation: str
    interpolation: str
    sampling: Literal["regular", "irregular"]
    rate: Optional[int]
    start: int
    end: int

class Playback:
    """Background preloading while the block runs; see Cache.playback."""
    def __enter__(self) -> "Playback": ...
    def __exit__(self, *args: object) -> None: ...

class Cache:
    """A cache opened for reading with qzcache.open()."""
    @property
    def path(self) -> str: ...
    @property
    def ticks_per_frame(self) -> int: ...
    @property
    def layout(self) -> _Layout: ...
    @property
    def format(self) -> str: ...
    @property
    def start(self) -> Optional[int]: ...
    @property
    def end(self) -> Optional[int]: ...
    @property
    def description(self) -> list[str]: ...
    @property
    def channels(self) -> tuple[Channel, ...]: ...
    def times(self, channel: _ChannelKey) -> npt.NDArray[np.int32]:
        """The channel's stored times in ticks, ascending."""
    def read(self, channel: _ChannelKey, time: int,
             interpolation: Optional[_Interpolation] = None,
             out: Optional[np.ndarray] = None) -> np.ndarray:
        """Reads a channel at a time in ticks: (n, 3) for vector channels, else (n,)."""
    def read_frames(self, channel: _ChannelKey, times: Union[Sequence[int], np.ndarray],
                    interpolation: Optional[_Interpolation] = None) -> np.ndarray:
        """Reads a channel at several times into one (times, n, 3) or (times, n) array."""
    def playback(self, queue_size: Optional[int] = None) -> Playback:
        """Runs the background preloading worker while the with block runs."""
    def refresh(self) -> bool:
        """Learns what a writer added since (a live cache); True when anything changed."""
    @property
    def complete(self) -> bool:
        """False while the description says its writer has not finished."""
    def close(self) -> None: ...
    def __enter__(self) -> "Cache": ...
    def __exit__(self, *args: object) -> None: ...

class Writer:
    """Writes a new cache <directory>/<name>.xml and its data files."""
    def __init__(self, directory: _Path, name: str, layout: _Layout = "one-file",
                 format: _Format = "kcc", ticks_per_frame: int = 250, live: bool = False,
                 live_interval: float = 1.0) -> None: ...
    @property
    def path(self) -> str: ...
    def add_channel(self, name: str, type: Union[DataType, _TypeName],
                    interpretation: str = "") -> None: ...
    def write(self, time: int, values: Mapping[str, Union[np.ndarray, float]]) -> None:
        """Writes one time's values; everything is checked before anything is written."""
    def close(self) -> None:
        """Writes the description file."""
    def __enter__(self) -> "Writer": ...
    def __exit__(self, error_type: Optional[Type[BaseException]],
                 error: Optional[BaseException], trace: Optional[TracebackType]) -> bool: ...

def open(path: _Path) -> Cache:
    """Opens the cache whose description file is path."""

def to_pc2(pc2_path: _Path, description_path: _Path, channel: _ChannelKey,
           step: Optional[int] = None) -> None:
    """Writes one vector channel of a cache to a PC2 point cache file."""

def from_pc2(pc2_path: _Path, directory: _Path, name: str, layout: _Layout = "per-frame",
             format: _Format = "kcx", ticks_per_frame: int = 250) -> str:
    """Makes a new cache from a PC2 file; returns its description path."""

def to_mdd(mdd_path: _Path, description_path: _Path, channel: _ChannelKey, fps: float,
           step: Optional[int] = None) -> None:
    """Writes one vector channel of a cache to an MDD point cache file, times in seconds."""

def from_mdd(mdd_path: _Path, directory: _Path, name: str, fps: float,
             layout: _Layout = "per-frame", format: _Format = "kcx",
             ticks_per_frame: int = 250) -> str:
    """Makes a new cache from an MDD file; returns its description path."""
