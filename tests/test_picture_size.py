"""The picture size written to the track comes from the stream's first SPS: macroblock counts,
frame or field coding, and cropping in the units the chroma format and field coding use."""
import struct

import pytest

import _plexo
from builders import box_payload, packetize, pat, pes, pmt

PPS = b"\x68\xce\x3c\x80"
IDR = b"\x65\x88\x84\x00\x20"


class Bits:
    def __init__(self):
        self.bits = []

    def u(self, value, width):
        self.bits += [(value >> (width - 1 - i)) & 1 for i in range(width)]
        return self

    def ue(self, value):
        code = value + 1
        self.u(0, code.bit_length() - 1)
        return self.u(code, code.bit_length())

    def rbsp(self):
        bits = self.bits + [1]
        bits += [0] * (-len(bits) % 8)
        return bytes(int("".join(map(str, bits[i:i + 8])), 2) for i in range(0, len(bits), 8))


def escape(rbsp: bytes) -> bytes:
    """Inserts emulation-prevention bytes as an encoder does."""
    out, zeros = bytearray(), 0
    for byte in rbsp:
        if zeros >= 2 and byte <= 3:
            out.append(3)
            zeros = 0
        out.append(byte)
        zeros = zeros + 1 if byte == 0 else 0
    return bytes(out)


def sps(width_mbs_minus1, height_map_units_minus1, *, frame_mbs_only=1, crop=None, profile=66,
        chroma_format_idc=1, poc_type=0):
    bits = Bits().ue(0)                                      # seq_parameter_set_id
    if profile in (100, 110, 122, 244):
        bits.ue(chroma_format_idc)
        if chroma_format_idc == 3:
            bits.u(0, 1)                                     # separate_colour_plane_flag
        bits.ue(0).ue(0).u(0, 1).u(0, 1)                     # bit depths, bypass, no matrices
    bits.ue(0).ue(poc_type)                                  # log2_max_frame_num_minus4, poc type
    if poc_type == 0:
        bits.ue(0)                                           # log2_max_pic_order_cnt_lsb_minus4
    bits.ue(1).u(0, 1)                                       # max_num_ref_frames, gaps
    bits.ue(width_mbs_minus1).ue(height_map_units_minus1)
    bits.u(frame_mbs_only, 1)
    if not frame_mbs_only:
        bits.u(0, 1)                                         # mb_adaptive_frame_field_flag
    bits.u(1, 1)                                             # direct_8x8_inference_flag
    bits.u(crop is not None, 1)
    for value in crop or ():
        bits.ue(value)
    bits.u(0, 1)                                             # no VUI
    return bytes([0x67, profile, 0x00, 0x1F]) + escape(bits.rbsp())


def stream(*parameter_sets: bytes) -> bytes:
    es = b"".join(b"\x00\x00\x00\x01" + unit for unit in (*parameter_sets, PPS, IDR))
    video = pes(b"\x00\x00\x00\x01\x09\xf0" + es, pts=90000, dts=90000)
    return pat() + pmt([(0x1B, 256), (0x0F, 257)]) + b"".join(packetize(256, video))


def picture_size(ts: bytes) -> tuple[tuple[int, int], tuple[int, int]]:
    """(tkhd width, height) and (avc1 width, height) of the converted file."""
    out = _plexo.convert_ts_to_mp4(ts)
    tkhd = box_payload(out, "moov/trak/tkhd")
    avc1 = box_payload(out, "moov/trak/mdia/minf/stbl/stsd/avc1")
    return (struct.unpack(">I", tkhd[-8:-4])[0] >> 16, struct.unpack(">I", tkhd[-4:])[0] >> 16), \
        struct.unpack(">HH", avc1[24:28])


@pytest.mark.parametrize("unit, size", [
    (sps(119, 67, crop=(0, 0, 0, 4), profile=100), (1920, 1080)),       # 1088 coded, 8 lines cropped
    (sps(79, 44), (1280, 720)),                                          # baseline: no chroma fields
    (sps(119, 33, frame_mbs_only=0), (1920, 1088)),                      # field pairs, no cropping
    (sps(119, 33, frame_mbs_only=0, crop=(0, 0, 0, 2), profile=100), (1920, 1080)),  # crop unit 4 lines
    (sps(19, 7, frame_mbs_only=0, crop=(0, 0, 0, 4)), (320, 240)),       # 256 coded, 16 lines cropped
    (sps(39, 29, crop=(2, 2, 0, 0), profile=244, chroma_format_idc=3), (636, 480)),  # 4:4:4: unit 1
    (sps(44, 35, poc_type=2, crop=(0, 4, 0, 6)), (712, 564)),
], ids=["1080p", "720p-baseline", "interlaced", "1080i-cropped", "240i-cropped", "444", "poc2"])
def test_size_from_sps(unit, size):
    assert picture_size(stream(unit)) == (size, size)


def test_unreadable_sps_keeps_the_default_size_and_is_still_used():
    truncated = sps(79, 44)[:5]
    out = _plexo.convert_ts_to_mp4(stream(truncated))
    avcc = box_payload(out, "moov/trak/mdia/minf/stbl/stsd/avc1/avcC")
    assert avcc[8:8 + len(truncated)] == truncated
    assert picture_size(stream(truncated)) == ((1920, 1080), (1920, 1080))


def test_only_the_first_sps_counts():
    assert picture_size(stream(sps(79, 44), sps(39, 29))) == ((1280, 720), (1280, 720))


def test_emulation_prevention_bytes_are_not_read_as_fields():
    # A width code long enough to hold two zero bytes makes the encoder insert 00 00 03.
    unit = sps((1 << 23) + 39, 29)
    assert b"\x00\x00\x03" in unit
    assert picture_size(stream(unit))[0] == (((1 << 23) + 40) * 16 % 65536, 480)


@pytest.mark.parametrize("name", ["ts_bframes.ts", "ts_1080p.ts", "ts_interlaced.ts", "ts_192.m2ts"])
def test_real_streams_keep_their_size(name, fixture_bytes, ffprobe):
    from media_tools import streams
    source = fixture_bytes(name)
    expected = next(s for s in streams(source, ".ts") if s["codec_type"] == "video")
    written = picture_size(source)
    assert written == ((expected["width"], expected["height"]),) * 2
