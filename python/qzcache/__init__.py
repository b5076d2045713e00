"""Time-sampled animation caches (qzCacheShared) with numpy arrays in and out.

A cache is a description file (``name.xml``) plus data files holding, for each stored
time, the values of its channels: per-point vectors, per-particle numbers, single values.
Times are integer ticks (``ticks_per_frame`` to a frame).

Writing::

    with qzcache.Writer("/shots/s010", "cloth", layout="one-file", format="kcc") as w:
        w.add_channel("points", "float_vector_array", interpretation="position")
        for frame in range(1, 25):
            w.write(frame * 250, {"points": points})      # float32, shaped (n, 3)

Reading, between stored times too::

    with qzcache.open("/shots/s010/cloth.xml") as c:
        a = c.read("points", 2625)                        # frame 10.5, interpolated
        c.read("points", 2625, interpolation="catmull-rom", out=a)
        frames = c.read_frames("points", c.times("points"))

Reads land straight in numpy memory; the GIL is released while files are read and samples
interpolated, so reads on several threads overlap. Failures raise ``qzcache.Error`` or its
subclasses ``FileError`` (an ``OSError``: a data or description file missing, damaged or
unwritable) and ``NotFoundError`` (a ``KeyError``: no such channel, or nothing stored to
answer a read); each names the file, channel and time in its message and as the attributes
``filename``, ``channel`` and ``time``. Wrong arrays given to ``Writer.write`` raise
``TypeError`` or ``ValueError`` before anything is written.

See docs/python.md in the source tree for a worked example.
"""

import enum as _enum
import typing as _typing


class Error(Exception):
    """A cache could not be read or written; ``filename``, ``channel`` and ``time`` say
    where (each None when it does not apply)."""

    filename = None
    channel = None
    time = None

    def __str__(self):
        return str(self.args[0]) if len(self.args) == 1 else super().__str__()


class FileError(Error, OSError):
    """A file of the cache (or a PC2 or MDD file) is missing, damaged or cannot be written."""


class NotFoundError(Error, KeyError):
    """No such channel, or nothing stored to answer a read at that time."""


class DataType(str, _enum.Enum):
    """The type of a channel's samples; each member is also its name as a str."""

    FLOAT_VECTOR_ARRAY = "float_vector_array"    #: float32, shaped (n, 3)
    DOUBLE_VECTOR_ARRAY = "double_vector_array"  #: float64, shaped (n, 3)
    FLOAT_ARRAY = "float_array"                  #: float32, shaped (n,)
    DOUBLE_ARRAY = "double_array"                #: float64, shaped (n,)
    INT32_ARRAY = "int32_array"                  #: int32, shaped (n,)
    DOUBLE = "double"                            #: one float per time, kept in memory only
    UNKNOWN = "unknown"                          #: a type this library does not know


class Channel(_typing.NamedTuple):
    """One channel of a cache as its description states it."""

    name: str
    type: DataType
    interpretation: str
    #: How reads between stored times are answered unless a read says otherwise:
    #: "none", "previous", "next", "linear" or "catmull-rom".
    interpolation: str
    #: "regular" (every ``rate`` ticks from ``start`` to ``end``) or "irregular".
    sampling: str
    rate: _typing.Optional[int]
    start: int
    end: int


from ._qzcache import (Cache, Playback, Writer, from_mdd, from_pc2, open, to_mdd,  # noqa: E402
                       to_pc2)

for _class in (Cache, Playback, Writer):
    _class.__module__ = __name__
del _class

__all__ = ["Cache", "Channel", "DataType", "Error", "FileError", "NotFoundError", "Playback",
           "Writer", "from_mdd", "from_pc2", "open", "to_mdd", "to_pc2"]
