"""extract_thumbnail_from_mp4 on hand-built files: the key-frame search through the sample
tables and the fragments, and the plain first-sample walk for files without tables."""
from __future__ import annotations

import pytest

import _plexo
from builders import box, full_box, u8, u16, u32, u64

thumb = _plexo.extract_thumbnail_from_mp4
SC = b"\x00\x00\x00\x01"
SPS = bytes.fromhex("6764000aacd94141")  # type 7
PPS = bytes.fromhex("68ebecb2")          # type 8


def nal(*units: bytes, width: int = 4) -> bytes:
    """A sample: each unit behind its big-endian length of `width` bytes."""
    return b"".join(len(u).to_bytes(width, "big") + u for u in units)


# ---- movie builders ------------------------------------------------------------------------


def avcc(length_size: int = 4, sps=(SPS,), pps=(PPS,)) -> bytes:
    body = bytes([1, 0x64, 0, 0x0A, 0xFC | (length_size - 1), 0xE0 | len(sps)])
    body += b"".join(u16(len(s)) + s for s in sps)
    body += u8(len(pps)) + b"".join(u16(len(p)) + p for p in pps)
    return box("avcC", body)


def avc1(config: bytes | None) -> bytes:
    # visual sample entry: 6 reserved + data_reference_index, then 70 bytes of fixed fields
    return box("avc1", bytes(6) + u16(1) + bytes(70), *([config] if config else []))


def stsd(entry: bytes) -> bytes:
    return full_box("stsd", 0, 0, u32(1), entry)


def stsz(sizes: list[int], uniform: int = 0) -> bytes:
    table = b"" if uniform else b"".join(u32(s) for s in sizes)
    return full_box("stsz", 0, 0, u32(uniform), u32(len(sizes)), table)


def stsc(*runs: tuple[int, int]) -> bytes:
    """(first_chunk, samples_per_chunk) runs, description index 1."""
    return full_box("stsc", 0, 0, u32(len(runs)), *(u32(f) + u32(n) + u32(1) for f, n in runs))


def stco(*offsets: int, wide: bool = False) -> bytes:
    if wide:
        return full_box("co64", 0, 0, u32(len(offsets)), *(u64(o) for o in offsets))
    return full_box("stco", 0, 0, u32(len(offsets)), *(u32(o) for o in offsets))


def stss(*numbers: int) -> bytes:
    return full_box("stss", 0, 0, u32(len(numbers)), *(u32(n) for n in numbers))


def trak(handler: str, track_id: int, *stbl_children: bytes) -> bytes:
    tkhd = full_box("tkhd", 0, 3, u32(0), u32(0), u32(track_id), bytes(68))
    hdlr = full_box("hdlr", 0, 0, u32(0), handler.encode(), bytes(12), b"\0")
    stbl = box("stbl", *stbl_children)
    return box("trak", tkhd, box("mdia", hdlr, box("minf", stbl)))


def audio_trak(track_id: int, *tables: bytes) -> bytes:
    return trak("soun", track_id, stsd(box("mp4a", bytes(28))), *tables)


def movie(traks_for_offset, samples: bytes) -> bytes:
    """ftyp, moov, mdat; `traks_for_offset(base)` builds the traks given the file offset at
    which the mdat payload (`samples`) begins."""
    ftyp = box("ftyp", b"isom", u32(0), b"isom")
    guess = box("moov", *traks_for_offset(0))
    base = len(ftyp) + len(guess) + 8
    return ftyp + box("moov", *traks_for_offset(base)) + box("mdat", samples)


AUDIO = b"\xde\xad" * 8  # what an audio frame might hold
NON_IDR = nal(b"\x41\x9a\x01")
IDR = nal(b"\x06\x05\x01", b"\x65\x88\x84")  # SEI, then the IDR slice


# ---- the key frame through the sample tables -----------------------------------------------


def test_the_first_sync_sample_of_the_video_track_is_taken_with_its_parameter_sets():
    # mdat: audio frame | video 1 (non-sync) | video 2 (sync); the audio track comes first.
    samples = AUDIO + NON_IDR + IDR
    def traks(base):
        return [audio_trak(1, stsz([len(AUDIO)]), stsc((1, 1)), stco(base)),
                trak("vide", 2, stsd(avc1(avcc())), stsz([len(NON_IDR), len(IDR)]),
                     stsc((1, 2)), stco(base + len(AUDIO)), stss(2))]
    assert thumb(movie(traks, samples)) == (
        SC + SPS + SC + PPS + SC + b"\x06\x05\x01" + SC + b"\x65\x88\x84")


def as_large(box_bytes: bytes) -> bytes:
    """The same box with a 16-byte header (size field 1, then the 64-bit size)."""
    return u32(1) + box_bytes[4:8] + u64(len(box_bytes) + 8) + box_bytes[8:]


@pytest.mark.parametrize("where", ["mdat", "stbl children", "moov"])
def test_64_bit_box_headers_are_followed_to_the_key_frame(where):
    samples = NON_IDR + IDR
    tables = lambda base: [stsd(avc1(avcc())), stsz([len(NON_IDR), len(IDR)]), stsc((1, 2)),
                           stco(base), stss(2)]
    ftyp = box("ftyp", b"isom", u32(0), b"isom")
    if where == "stbl children":
        def build(base):
            return box("moov", trak("vide", 1, *[as_large(t) for t in tables(base)]))
    else:
        def build(base):
            moov = box("moov", trak("vide", 1, *tables(base)))
            return as_large(moov) if where == "moov" else moov
    mdat = box("mdat", samples)
    if where == "mdat":
        # mdat first, with a 64-bit header: the moov follows it
        mdat = as_large(mdat)
        data = ftyp + mdat + build(len(ftyp) + 16)
    else:
        data = ftyp + build(len(ftyp) + len(build(0)) + 8) + mdat
    assert thumb(data).endswith(SC + b"\x65\x88\x84")


def test_without_stss_every_sample_is_a_key_frame():
    samples = IDR + NON_IDR
    def traks(base):
        return [trak("vide", 1, stsd(avc1(avcc())), stsz([len(IDR), len(NON_IDR)]),
                     stsc((1, 2)), stco(base))]
    assert thumb(movie(traks, samples)).endswith(SC + b"\x65\x88\x84")


@pytest.mark.parametrize("wide", [False, True])
def test_the_chunk_of_the_key_frame_is_found_through_stsc(wide):
    # Chunk 1 holds sample 1, chunks 2 and 3 two samples each; the key frame, sample 5, is
    # the second of chunk 3.
    frames = [nal(bytes([0x41, i])) for i in range(4)] + [IDR]
    samples = b"".join(frames)
    def traks(base):
        offsets = [base, base + len(frames[0]), base + len(b"".join(frames[:3]))]
        return [trak("vide", 1, stsd(avc1(avcc())), stsz([len(f) for f in frames]),
                     stsc((1, 1), (2, 2)), stco(*offsets, wide=wide), stss(5))]
    assert thumb(movie(traks, samples)).endswith(SC + b"\x06\x05\x01" + SC + b"\x65\x88\x84")


def test_uniform_sample_size_and_two_byte_lengths():
    frames = [nal(b"\x41\x00\x00", width=2), nal(b"\x65\x88\x80", width=2)]
    def traks(base):
        return [trak("vide", 1, stsd(avc1(avcc(length_size=2))), stsz([5, 5], uniform=5),
                     stsc((1, 2)), stco(base), stss(2))]
    assert thumb(movie(traks, b"".join(frames))) == SC + SPS + SC + PPS + SC + b"\x65\x88\x80"


def test_every_parameter_set_of_the_avcc_is_put_in_front():
    sps2 = bytes.fromhex("6764001eacd9")
    def traks(base):
        return [trak("vide", 1, stsd(avc1(avcc(sps=(SPS, sps2), pps=(PPS, b"\x68\x01")))),
                     stsz([len(IDR)]), stsc((1, 1)), stco(base))]
    out = thumb(movie(traks, IDR))
    assert out.startswith(SC + SPS + SC + sps2 + SC + PPS + SC + b"\x68\x01" + SC + b"\x06")


@pytest.mark.parametrize("broken, message", [
    (lambda base: [stsz([3]), stsc((1, 1)), stco(base), stss(2)], "Invalid sample table"),
    (lambda base: [stsz([3]), stsc((2, 1)), stco(base)], "Invalid sample table"),
    (lambda base: [stsz([3]), stsc((1, 1)), stco(base), stss()], "No key frame found in video track"),
    (lambda base: [stsz([3]), stsc((1, 1)), stco(base + 1000)], "Sample size exceeds mdat bounds"),
    (lambda base: [full_box("stsz", 0, 0, u32(0), u32(1_000_000)), stsc((1, 1)), stco(base)],
     "Invalid sample table"),
])
def test_contradicting_tables_are_reported(broken, message):
    def traks(base):
        return [trak("vide", 1, stsd(avc1(avcc())), *broken(base))]
    with pytest.raises(ValueError) as raised:
        thumb(movie(traks, nal(b"\x65\x88")))
    assert raised.value.args == (message,)


NO_PARAMETER_SETS = "Key frame has no SPS and PPS: neither its sample entry nor its sample holds them"
NO_PICTURE = "Key frame sample holds no coded picture"


@pytest.mark.parametrize("entry, sample, message", [
    (avc1(None), IDR, NO_PARAMETER_SETS),                              # no avcC at all
    (avc1(avcc(sps=(), pps=(PPS,))), IDR, NO_PARAMETER_SETS),          # a PPS but no SPS
    (avc1(box("avcC", avcc()[8:-2])), IDR, NO_PARAMETER_SETS),         # avcC cut short: unreadable
    (avc1(avcc()), nal(b"\x06\x05\x01"), NO_PICTURE),                 # an SEI and no slice
    (avc1(avcc()), b"\x65", NO_PICTURE),                               # one byte: no unit at all
    (avc1(avcc()), nal(b"\x65\x88\x84", width=4)[:-1], NO_PICTURE),   # its one slice cut short
], ids=["no-avcc", "no-sps", "avcc-cut-short", "sei-only", "one-byte", "cut-slice"])
def test_a_key_frame_that_cannot_be_decoded_on_its_own_is_refused(entry, sample, message):
    def traks(base):
        return [trak("vide", 1, stsd(entry), stsz([len(sample)]), stsc((1, 1)), stco(base))]
    with pytest.raises(ValueError) as raised:
        thumb(movie(traks, sample))
    assert raised.value.args == (message,)


def test_parameter_sets_in_the_sample_stand_in_for_the_avcc():
    sample = nal(SPS, PPS, b"\x65\x88\x84")
    def traks(base):
        return [trak("vide", 1, stsd(avc1(None)), stsz([len(sample)]), stsc((1, 1)), stco(base))]
    assert thumb(movie(traks, sample)) == SC + SPS + SC + PPS + SC + b"\x65\x88\x84"


# ---- the key frame in the fragments --------------------------------------------------------

NON_SYNC = 0x01010000  # depends on others, non-sync sample
SYNC = 0x02000000


def trex(track_id: int, flags: int, size: int = 0) -> bytes:
    return full_box("trex", 0, 0, u32(track_id), u32(1), u32(0), u32(size), u32(flags))


def fragmented(runs_for_moof, trex_flags: int = NON_SYNC, trex_size: int = 0, more_trex=()) -> bytes:
    """moov with an empty-table video track (ID 1) and trex defaults, then one moof+mdat per
    entry of `runs_for_moof(moof_offset)` (each a (traf, mdat payload) pair)."""
    empty = [stsz([]), stsc(), stco()]
    moov = box("moov", trak("vide", 1, stsd(avc1(avcc())), *empty),
               box("mvex", trex(1, trex_flags, trex_size), *more_trex))
    data = box("ftyp", b"iso6", u32(0)) + moov
    for make in runs_for_moof:
        moof_box, payload = make(len(data))
        data += moof_box + box("mdat", payload)
    return data


def trun(samples: list[tuple[int, int | None]], data_offset: int | None, first_flags: int | None = None) -> bytes:
    """samples: (size, flags); flags None means the trex default (non-sync), left out of the
    run when no sample sets its own."""
    with_flags = any(f is not None for _, f in samples)
    flags = (0x1 if data_offset is not None else 0) | (0x4 if first_flags is not None else 0)
    flags |= 0x200 | (0x400 if with_flags else 0)
    body = u32(len(samples))
    body += u32(data_offset & 0xFFFFFFFF) if data_offset is not None else b""
    body += u32(first_flags) if first_flags is not None else b""
    body += b"".join(u32(size) + (u32(NON_SYNC if f is None else f) if with_flags else b"")
                     for size, f in samples)
    return full_box("trun", 0, flags, body)


def moof_with(track_id: int, payload: bytes, samples, *, tfhd_flags: int = 0x020000,
              base_data_offset: int | None = None, first_flags: int | None = None):
    """A moof whose single traf/trun points at the mdat payload right after the moof."""
    def build(moof_offset: int):
        def assemble(data_offset):
            extra = u64(base_data_offset(moof_offset)) if base_data_offset else b""
            tfhd = full_box("tfhd", 0, tfhd_flags | (0x1 if base_data_offset else 0), u32(track_id), extra)
            return box("moof", full_box("mfhd", 0, 0, u32(1)),
                       box("traf", tfhd, trun(samples, data_offset, first_flags)))
        size = len(assemble(0))
        start = moof_offset + size + 8  # the mdat payload
        base = base_data_offset(moof_offset) if base_data_offset else moof_offset
        return assemble(start - base), payload
    return build


def test_a_fragment_without_key_frame_is_passed_over():
    first = moof_with(1, NON_IDR, [(len(NON_IDR), None)])
    second = moof_with(1, NON_IDR + IDR, [(len(NON_IDR), None), (len(IDR), SYNC)])
    out = thumb(fragmented([first, second]))
    assert out == SC + SPS + SC + PPS + SC + b"\x06\x05\x01" + SC + b"\x65\x88\x84"


def test_first_sample_flags_mark_the_key_frame():
    run = moof_with(1, IDR + NON_IDR, [(len(IDR), None), (len(NON_IDR), None)], first_flags=SYNC)
    assert thumb(fragmented([run])).endswith(SC + b"\x65\x88\x84")


def test_explicit_base_data_offset():
    run = moof_with(1, NON_IDR + IDR, [(len(NON_IDR), NON_SYNC), (len(IDR), SYNC)],
                    tfhd_flags=0, base_data_offset=lambda moof_offset: moof_offset - 10)
    assert thumb(fragmented([run])).endswith(SC + b"\x65\x88\x84")


def test_fragments_of_other_tracks_are_not_taken():
    audio = moof_with(2, AUDIO, [(len(AUDIO), SYNC)])
    video = moof_with(1, IDR, [(len(IDR), SYNC)])
    assert thumb(fragmented([audio, video])).endswith(SC + b"\x65\x88\x84")


def test_the_first_trex_of_a_track_gives_its_defaults():
    # a second trex for track 1 would make the first sample a key frame; the first one wins
    defaults_only = moof_with(1, NON_IDR, [(len(NON_IDR), None)])   # flags from the trex
    key_frame = moof_with(1, IDR, [(len(IDR), SYNC)])
    out = thumb(fragmented([defaults_only, key_frame], trex_flags=NON_SYNC, more_trex=[trex(1, SYNC)]))
    assert out.endswith(SC + b"\x65\x88\x84")


def test_many_track_fragments_against_many_trex_stay_linear():
    from conftest import scaling

    def many_trex(count: int) -> bytes:
        others = [trex(i, SYNC) for i in range(2, count + 2)]
        trafs = b"".join(box("traf", full_box("tfhd", 0, 0x020000, u32(2 + i % count))) for i in range(count))

        def many(moof_offset: int):
            return box("moof", full_box("mfhd", 0, 0, u32(1)), trafs), b""
        return fragmented([many, moof_with(1, IDR, [(len(IDR), SYNC)])], more_trex=others)

    assert thumb(many_trex(40_000)).endswith(SC + b"\x65\x88\x84")
    # a trex search per traf would grow with the square of the count
    assert scaling(thumb, many_trex, 10_000) < 9


def test_fragments_without_any_key_frame_are_reported():
    run = moof_with(1, NON_IDR, [(len(NON_IDR), None)])
    with pytest.raises(ValueError, match="^No key frame found in video track$"):
        thumb(fragmented([run]))


@pytest.mark.parametrize("data_offset", [-(1 << 31), (1 << 31) - 1])
def test_a_run_pointing_outside_the_file_is_reported(data_offset):
    tfhd = full_box("tfhd", 0, 0x020000, u32(1))
    moof_box = box("moof", box("traf", tfhd, trun([(4, SYNC)], data_offset)))
    data = fragmented([]) + moof_box + box("mdat", b"\0" * 4)
    with pytest.raises(ValueError, match="^(Sample size exceeds mdat bounds|Invalid track fragment)$"):
        thumb(data)


@pytest.mark.parametrize("data_offset", [0, 8, 20])
def test_a_key_frame_said_to_lie_in_its_moof_is_refused(data_offset):
    tfhd = full_box("tfhd", 0, 0x020000, u32(1))
    moof_box = box("moof", box("traf", tfhd, trun([(len(IDR), SYNC)], data_offset)))
    data = fragmented([]) + moof_box + box("mdat", IDR)
    with pytest.raises(ValueError, match="^Invalid track fragment$"):
        thumb(data)


# ---- files without tables: the first sample at the start of mdat --------------------------


def plain(sample_area: bytes, stsz_box: bytes, *, mdat_first: bool = True, stbl_extra=()) -> bytes:
    moov = box("moov", box("trak", box("mdia", box("minf", box("stbl", *stbl_extra, stsz_box)))))
    mdat = box("mdat", sample_area)
    return mdat + moov if mdat_first else moov + mdat


def test_the_first_sample_is_reframed():
    sample = bytes.fromhex("0000000265880000000106")
    assert thumb(plain(sample + b"\xff" * 4, stsz([len(sample)]))) == bytes.fromhex(
        "0000000165880000000106")


def test_an_incomplete_unit_is_dropped():
    assert thumb(plain(bytes.fromhex("000000056588"), stsz([6]))) == b""


def test_a_zero_length_unit_is_a_bare_start_code():
    assert thumb(plain(bytes.fromhex("000000000000000165"), stsz([9]))) == SC + SC + b"\x65"


def test_a_uniform_sample_size_takes_that_many_bytes():
    area = nal(b"\x65\x01\x02\x03\x04\x05") + nal(b"\x41\x07")
    assert thumb(plain(area, stsz([99, 99], uniform=10))) == SC + b"\x65\x01\x02\x03\x04\x05"


def test_the_first_traks_avcc_is_put_in_front():
    area = nal(b"\x65\x88")
    data = plain(area, stsz([6]), stbl_extra=[stsd(avc1(avcc()))])
    assert thumb(data) == SC + SPS + SC + PPS + SC + b"\x65\x88"


@pytest.mark.parametrize("data, message", [
    (b"", "Box mdat not found"),
    (box("free", b"xx"), "Box mdat not found"),
    (box("mdat", b"\0" * 8), "Box moov not found"),
    (u32(4) + b"free" + box("mdat", b"\0" * 8), "Invalid box size"),
    (box("mdat", b"\0" * 8) + u32(0) + b"moov", "Invalid box size"),
    (box("moov", box("free")) + box("mdat", b"\0" * 8), "Box trak not found in container"),
    (box("moov", box("trak", box("mdia", box("minf", box("stbl", box("stco", bytes(8)))))))
     + box("mdat", b"\0" * 8), "Box stsz not found in container"),
    (box("moov", box("trak", box("tkhd", bytes(8)))) + box("mdat", b"\0" * 8),
     "Box mdia not found in container"),
    (box("moov", box("trak", u32(2) + b"mdia" + bytes(8))) + box("mdat", b"\0" * 8), "Invalid box size"),
    (box("free", b"") + box("mdat"), "Invalid mdat box"),
    # the input ends 16 bytes into the stsz
    ((box("mdat", b"\0" * 8) + box("moov", box("trak", box("mdia", box("minf", box("stbl", stsz([5])))))))[:-8],
     "Invalid stsz box"),
    (box("mdat", b"\0" * 8) + box("moov", box("trak", box("mdia", box("minf", box("stbl", full_box("stsz", 0, 0, u32(0), u32(3))))))),
     "Invalid stsz box - no sample sizes"),
    (plain(b"\0\0\0\x10\x65", stsz([1000])), "Sample size exceeds mdat bounds"),
])
def test_messages_of_the_plain_walk(data, message):
    with pytest.raises(ValueError) as raised:
        thumb(data)
    assert raised.value.args == (message,)


def test_an_empty_stsz_is_not_read_past():
    # A fragmented-looking file with no tables and no video track: sample_count 0 means no
    # size follows, whatever bytes come after the box.
    data = box("mdat", nal(b"\x65\x88")) + box("moov", box("trak", box("mdia", box("minf", box(
        "stbl", full_box("stsz", 0, 0, u32(0), u32(0)), box("free", u32(6)))))))
    with pytest.raises(ValueError, match="^Invalid stsz box - no sample sizes$"):
        thumb(data)
