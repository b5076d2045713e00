import concurrent.futures
import contextlib
import json
import os
import pathlib
import struct
import subprocess
import tempfile

import numpy as np
import pytest

import qzcache

POINTS = 64
FRAMES = 6
TICKS = 250
# Each array type with its dtype and element shape; "age" skips frame 3, so it is irregular.
ARRAYS = {"points": ("float_vector_array", np.float32, (3,)),
          "velocity": ("double_vector_array", np.float64, (3,)),
          "temperature": ("float_array", np.float32, ()),
          "pressure": ("double_array", np.float64, ()),
          "age": ("int32_array", np.int32, ())}


def sample(channel, frame):
    """Arbitrary bit patterns (NaN payloads, infinities, -0.0 included) for each channel;
    "pressure" grows by one element a frame."""
    _, dtype, shape = ARRAYS[channel]
    count = POINTS + (frame if channel == "pressure" else 0)
    rng = np.random.default_rng([frame, len(channel)])
    raw = rng.integers(0, 256, size=count * int(np.prod(shape)) * np.dtype(dtype).itemsize, dtype=np.uint8)
    return raw.view(dtype).reshape((count,) + shape)


def smooth(channel, frame):
    """Finite values that vary from frame to frame, for interpolation."""
    _, dtype, shape = ARRAYS[channel]
    base = np.arange(POINTS * int(np.prod(shape)), dtype=np.float64).reshape((POINTS,) + shape)
    return (np.sin(base + frame) * 1000 + frame * frame).astype(dtype)


def stored_frames(channel):
    return [f for f in range(1, FRAMES + 1) if channel != "age" or f != 3]


def add_channels(writer):
    for name, (kind, _, _) in ARRAYS.items():
        writer.add_channel(name, kind, interpretation=name)
    writer.add_channel("energy", qzcache.DataType.DOUBLE)


def write_cache(directory, layout="one-file", fmt="kcc", values=sample):
    os.makedirs(directory, exist_ok=True)
    with qzcache.Writer(directory, "shot", layout=layout, format=fmt, ticks_per_frame=TICKS) as w:
        add_channels(w)
        for frame in range(1, FRAMES + 1):
            data = {name: values(name, frame) for name in ARRAYS if frame in stored_frames(name)}
            w.write(frame * TICKS, dict(data, energy=frame * 0.5))
    return os.path.join(directory, "shot.xml")


@pytest.fixture
def workdir():
    with tempfile.TemporaryDirectory() as directory:
        yield pathlib.Path(directory)


@pytest.fixture
def smooth_cache(workdir):
    return write_cache(workdir, values=smooth)


@pytest.mark.parametrize("layout,fmt", [("one-file", "kcc"), ("one-file", "kcx"), ("per-frame", "kcc"),
                                        ("per-frame", "kcx")])
def test_round_trip_is_bit_for_bit(workdir, layout, fmt):
    with qzcache.open(pathlib.Path(write_cache(workdir, layout, fmt))) as cache:
        assert (cache.layout, cache.format, cache.ticks_per_frame) == (layout, fmt, TICKS)
        assert (cache.start, cache.end) == (TICKS, FRAMES * TICKS)
        channels = {c.name: c for c in cache.channels}
        assert channels["age"].sampling == "irregular" and channels["points"].rate == TICKS
        for name, (kind, dtype, shape) in ARRAYS.items():
            assert channels[name].type == kind and channels[name].interpretation == name
            times = [f * TICKS for f in stored_frames(name)]
            assert cache.times(name).tolist() == times
            for frame, time in zip(stored_frames(name), times):
                got = cache.read(name, time)
                assert got.dtype == dtype and got.tobytes() == sample(name, frame).tobytes(), (name, time)
                assert got.shape == sample(name, frame).shape
                out = np.empty_like(got)
                address = out.ctypes.data
                assert cache.read(name, time, out=out) is out and out.ctypes.data == address
                assert out.tobytes() == got.tobytes()
            if name != "pressure":  # a blend between stored times lands in `out` too
                assert cache.read(name, 700, out=out).tobytes() == cache.read(name, 700).tobytes()
            with pytest.raises(TypeError):
                cache.read(name, time, out=np.empty(out.shape, np.int64))
            with pytest.raises(ValueError):
                cache.read(name, time, out=out[..., None])
            if name == "pressure":
                with pytest.raises(qzcache.Error, match="elements"):
                    cache.read_frames(name, times)
            else:
                assert cache.read_frames(name, times).tobytes() == \
                    b"".join(sample(name, f).tobytes() for f in stored_frames(name))
        assert cache.times("energy").tolist() == [f * TICKS for f in range(1, FRAMES + 1)]
        with pytest.raises(qzcache.Error, match="energy"):
            cache.read("energy", TICKS)


@pytest.mark.parametrize("channel", ["points", "velocity", "temperature", "age"])
@pytest.mark.parametrize("method", ["none", "previous", "next", "linear", "catmull-rom"])
def test_interpolation_matches_the_library_tool(smooth_cache, channel, method):
    tool = os.environ.get("QZCACHE_TOOL")
    if not tool:
        pytest.skip("QZCACHE_TOOL names no qzcache tool to compare with")
    _, dtype, _ = ARRAYS[channel]
    with qzcache.open(smooth_cache) as cache:
        # Between frames, over the gap in "age", on a stored time, and beyond both ends.
        for time in (625, 770, 3 * TICKS, 1000, 100, 9000):
            dump = subprocess.run([tool, "dump", smooth_cache, channel, "--time", str(time), "--interpolation",
                                   method, "--format", "json"], capture_output=True, text=True, timeout=60)
            if dump.returncode != 0:
                with pytest.raises(qzcache.NotFoundError):
                    cache.read(channel, time, interpolation=method)
                continue
            expected = np.array(json.loads(dump.stdout)["values"], dtype=dtype)
            assert cache.read(channel, time, interpolation=method).tobytes() == expected.tobytes(), time


@pytest.mark.parametrize("bad,error", [
    ({"points": np.zeros((POINTS, 3), np.float64)}, TypeError),
    ({"points": np.zeros((POINTS,), np.float32)}, ValueError),
    ({"points": [[0.0, 0.0, 0.0]]}, TypeError),
    ({"age": np.zeros((POINTS,), np.float32)}, TypeError),
    ({"energy": np.zeros(1)}, TypeError),
    ({"nothing": np.zeros((POINTS,), np.float32)}, qzcache.NotFoundError),
])
@pytest.mark.parametrize("layout", ["one-file", "per-frame"])
def test_a_bad_value_raises_before_anything_is_written(workdir, layout, bad, error):
    # "shot" tries one bad write beside a good value, "blank" writes nothing at all.
    for name in ("blank", "shot"):
        with qzcache.Writer(workdir, name, layout=layout) as writer:
            add_channels(writer)
            if name == "shot":
                with pytest.raises(error, match=list(bad)[0]):
                    writer.write(TICKS, dict({"temperature": sample("temperature", 1)}, **bad))
    sizes = {p.name: p.stat().st_size for p in workdir.iterdir() if p.suffix != ".xml"}
    assert sizes == ({"shot.kc": sizes["blank.kc"], "blank.kc": sizes["blank.kc"]} if layout == "one-file" else {})
    with qzcache.open(workdir / "shot.xml") as cache:
        assert cache.times("temperature").size == 0


def test_a_damaged_cache_names_the_file(workdir):
    description = write_cache(workdir, "one-file")
    data = workdir / "shot.kc"
    content = bytearray(data.read_bytes())
    # A count far beyond the file: refused before anything that big is allocated.
    size = content.index(b"SIZE") + 8
    content[size:size + 4] = struct.pack(">I", 0x7FFFFFFF)
    data.write_bytes(bytes(content))
    with qzcache.open(description) as cache:
        with pytest.raises(qzcache.FileError) as raised:
            cache.read("points", TICKS)
        assert (raised.value.channel, raised.value.time) == ("points", TICKS)
    data.write_bytes(bytes(content[:20]))
    with pytest.raises(qzcache.FileError) as raised:
        qzcache.open(description)
    assert raised.value.filename == str(data) and str(data) in str(raised.value)

    description = write_cache(workdir / "frames", "per-frame")
    frame = workdir / "frames" / "shotFrame2.kc"
    frame.write_bytes(frame.read_bytes()[:100])
    with qzcache.open(description) as cache:
        with pytest.raises(qzcache.FileError) as raised:
            cache.read("temperature", 2 * TICKS, interpolation="none")
        assert raised.value.filename == str(frame) and raised.value.time == 2 * TICKS
        with pytest.raises(qzcache.NotFoundError):
            cache.read("temperature", 2 * TICKS + 1, interpolation="none")


@pytest.mark.parametrize("playback", [False, True])
def test_two_threads_read_at_once(smooth_cache, playback):
    times = list(range(TICKS, FRAMES * TICKS, 50))
    with qzcache.open(smooth_cache) as cache:
        expected = {t: cache.read("points", t).tobytes() for t in times}

        def read_all(offset):
            order = times[offset:] + times[:offset]
            return all(cache.read("points", t).tobytes() == expected[t] for t in order * 50)

        with concurrent.futures.ThreadPoolExecutor(2) as pool, \
                (cache.playback() if playback else contextlib.nullcontext()):
            results = [pool.submit(read_all, k) for k in (0, len(times) // 2)]
            assert all(r.result(timeout=120) for r in results)


@pytest.mark.parametrize("layout,fmt", [("one-file", "kcc"), ("per-frame", "kcx")])
def test_a_live_cache_reads_while_it_is_written(workdir, layout, fmt):
    """Opened after the first write, the cache learns each later time with refresh() while
    another thread keeps reading it, and is complete once the writer closes."""
    writer = qzcache.Writer(workdir, "live", layout=layout, format=fmt, live=True, live_interval=0)
    add_channels(writer)
    writer.write(TICKS, {name: sample(name, 1) for name in ARRAYS})
    with qzcache.open(workdir / "live.xml") as cache, concurrent.futures.ThreadPoolExecutor(1) as pool:
        assert not cache.complete
        first = sample("points", 1).tobytes()
        stop = []
        reads = pool.submit(lambda: all(cache.read("points", TICKS).tobytes() == first
                                        for _ in iter(lambda: bool(stop), True)))
        try:  # the reader stops also when a check fails, so that a failure never hangs
            for frame in range(2, FRAMES + 1):
                writer.write(frame * TICKS, {name: sample(name, frame) for name in ARRAYS})
                assert cache.refresh() and cache.end == frame * TICKS
                for name in ARRAYS:
                    got = cache.read(name, frame * TICKS, interpolation="none")
                    assert got.tobytes() == sample(name, frame).tobytes(), (name, frame)
            assert not cache.refresh()
            writer.close()
            assert cache.refresh() and cache.complete
        finally:
            stop.append(True)
        assert reads.result(timeout=60)


@pytest.mark.parametrize("kind,fps", [("pc2", None), ("mdd", 24), ("mdd", 30)])
def test_point_caches_both_ways(smooth_cache, workdir, kind, fps):
    path = workdir / ("wave." + kind)
    rate = () if fps is None else (fps,)
    getattr(qzcache, "to_" + kind)(path, smooth_cache, "points", *rate)
    # The first frame's time as the file holds it (PC2: the start frame; MDD: seconds); the values
    # are those read back below.
    first = struct.unpack_from("<f" if fps is None else ">f", path.read_bytes(), 20 if fps is None else 8)
    assert first == (1.0 if fps is None else float(np.float32(1 / fps)),)
    (workdir / "back").mkdir()
    with qzcache.open(getattr(qzcache, "from_" + kind)(path, workdir / "back", "cache", *rate)) as cache:
        (channel,) = cache.channels
        assert (channel.name, channel.type, channel.interpretation) == ("wave", "double_vector_array", "Points")
        assert cache.times("wave").tolist() == [f * TICKS for f in range(1, FRAMES + 1)]
        for f in range(1, FRAMES + 1):
            assert np.array_equal(cache.read("wave", f * TICKS), smooth("points", f).astype(np.float64))
    with pytest.raises(ValueError, match="age"):
        getattr(qzcache, "to_" + kind)(path, smooth_cache, "age", *rate)
    if fps is not None:
        with pytest.raises(ValueError, match="fps"):
            qzcache.to_mdd(path, smooth_cache, "points", 0)
    # Cut inside its last frame: the frames it holds still make a cache, and the call fails.
    path.write_bytes(path.read_bytes()[:-1])
    with pytest.raises(qzcache.FileError, match=f"holds {FRAMES - 1} of its {FRAMES} frames"):
        getattr(qzcache, "from_" + kind)(path, workdir / "back", "cut", *rate)
    with qzcache.open(workdir / "back" / "cut.xml") as cache:
        assert len(cache.times("wave")) == FRAMES - 1
