"""What an audio track's esds says about its rates: in a progressive file the decoding buffer
(the largest frame), the highest rate over any second and the average rate measured from the
frames; in fragmented output, whose initialisation segment the live segmenter writes before
the frames come, no average and the codec's own bounds. And which fragmented files claim the
CMAF brand: those of one track."""
from __future__ import annotations

import struct

import pytest

import builders as b
import media_tools as mt
import plexo
from conftest import OUTPUT_KINDS, converted_fixture

KINDS = OUTPUT_KINDS
output = converted_fixture


def rates(mp4: bytes) -> tuple[int, int, int, int]:
    """(objectTypeIndication, bufferSizeDB, maxBitrate, avgBitrate) of the first esds."""
    at = mp4.index(b"esds") + 4 + 4  # past the type, version and flags
    assert mp4[at] == 0x03 and mp4[at + 5] == 0x04
    config = mp4[at + 7:at + 7 + 13]
    return config[0], int.from_bytes(config[2:5], "big"), *struct.unpack(">II", config[5:13])


def measured(mp4: bytes) -> tuple[int, float, float]:
    """(largest frame, busiest second's rate, average rate) of the audio as ffprobe reads it."""
    packets = mt.packets(mp4, "a:0")
    sizes = [int(p["size"]) for p in packets]
    seconds = [float(p["duration_time"]) for p in packets]
    per_second = max(1, round(1 / seconds[0]))
    window = min(per_second, len(sizes))
    busiest = max(sum(sizes[i:i + window]) for i in range(len(sizes) - window + 1))
    return max(sizes), busiest * 8 / (window * seconds[0]), sum(sizes) * 8 / sum(seconds)


@pytest.mark.parametrize("name, nominal", [("ts_aac_64k.ts", 64000), ("ts_aac_256k.ts", 256000),
                                           ("ts_mp2_192k.ts", 192000), ("ts_anamorphic.ts", 48000)])
def test_a_progressive_file_states_the_rates_its_frames_have(ffprobe, name, nominal):
    out = output("progressive", name)
    assert mt.probe_errors(out) == ""
    _, buffer, highest, average = rates(out)
    largest, busiest, real = measured(out)
    assert buffer == largest
    assert abs(average - real) <= 0.1 * real and abs(highest - busiest) <= 0.1 * busiest
    assert average <= highest and abs(average - nominal) <= 0.1 * nominal  # 64k and 256k differ


@pytest.mark.parametrize("kind", ["fmp4", "segmenter"])
@pytest.mark.parametrize("name, bounds", [("ts_aac_64k.ts", (0x40, 1536, 576000)),
                                          ("ts_aac_256k.ts", (0x40, 1536, 576000)),
                                          ("ts_mp2_192k.ts", (0x6B, 1153, 384000))])
def test_fragmented_output_states_bounds_that_hold(ffprobe, kind, name, bounds):
    out = output(kind, name)
    assert mt.probe_errors(out) == ""
    object_type, buffer, highest, average = rates(out)
    largest, busiest, _ = measured(output("progressive", name))  # the same frames
    assert (object_type, buffer, highest, average) == (*bounds, 0)
    assert buffer >= largest and highest >= busiest


def test_the_live_and_one_shot_fragmented_files_agree():
    for name in ("ts_aac_64k.ts", "ts_mp2_192k.ts", "ts_anamorphic.ts"):
        assert output("segmenter", name) == output("fmp4", name)


def bit_rate(size: int, count: int, samples: int, rate: int) -> int:
    """Bits per second of `size` bytes in `count` frames of `samples` at `rate`, rounded."""
    span = count * samples
    return (size * 8 * rate + span // 2) // span


def frames(sizes, **adts) -> bytes:
    return b"".join(b.adts_frame(bytes([i & 0xFF]) * size, **adts) for i, size in enumerate(sizes))


def audio_only(payload: bytes, stream_type: int = 0x0F) -> bytes:
    return b.transport_stream([], [(payload, 90000)], video_stream=False, audio_type=(stream_type,))


def test_the_busiest_second_and_the_average_are_measured_apart():
    # 1024-sample frames at 48 kHz: a second is 47 of them. Fifty quiet frames, fifty loud.
    out = plexo.convert_ts_to_mp4(audio_only(frames([20] * 50 + [200] * 50)), diagnostics=False)
    assert rates(out) == (0x40, 200, 200 * 8 * 48000 // 1024, (50 * 20 + 50 * 200) * 8 * 48000 // 1024 // 100)


@pytest.mark.parametrize("index, rate", [(4, 44100), (11, 8000)])
def test_rates_follow_the_streams_own_sample_rate(index, rate):
    out = plexo.convert_ts_to_mp4(audio_only(frames([100] * 60, sampling_index=index)), diagnostics=False)
    assert rates(out)[1:] == (100, bit_rate(100, 1, 1024, rate), bit_rate(100, 1, 1024, rate))


def test_a_variable_rate_mpeg_audio_stream_is_measured_frame_by_frame():
    quiet = [b.mpeg_audio_frame(1, bitrate_index=9)] * 40   # 128 kbit/s at 44.1 kHz, 417 bytes
    loud = [b.mpeg_audio_frame(2, bitrate_index=14)] * 40   # 320 kbit/s, 1044 bytes
    out = plexo.convert_ts_to_mp4(audio_only(b"".join(quiet + loud), 0x03), diagnostics=False)
    assert rates(out) == (0x6B, 1044, bit_rate(38 * 1044, 38, 1152, 44100), bit_rate((417 + 1044) * 40, 80, 1152, 44100))


# At 44.1 kHz, padded: 448 kbit/s layer I, 384 kbit/s layer II, 320 kbit/s layer III.
@pytest.mark.parametrize("layer, bounds", [(1, (0x6B, 488, 448000)), (2, (0x6B, 1254, 384000)),
                                           (3, (0x6B, 1045, 320000))])
def test_fragmented_mpeg_audio_states_its_layers_highest_rate(layer, bounds):
    out = plexo.convert_ts_to_fmp4(audio_only(b"".join([b.mpeg_audio_frame(1, layer=layer)] * 20), 0x03),
                                   diagnostics=False)
    assert rates(out) == (*bounds, 0)


@pytest.mark.parametrize("channels, bounds", [(1, (768, 288000)), (6, (4608, 1728000))])
def test_fragmented_aac_states_the_decoder_buffer_of_its_channels(channels, bounds):
    out = plexo.convert_ts_to_fmp4(audio_only(frames([100] * 20, channels=channels)), diagnostics=False)
    assert rates(out) == (0x40, *bounds, 0)


# ---- the CMAF brand --------------------------------------------------------------------------

@pytest.mark.parametrize("kind", ["fmp4", "segmenter"])
@pytest.mark.parametrize("name, tracks", [("ts_aac_64k.ts", 1), ("ts_hdr10.ts", 1), ("ts_anamorphic.ts", 2),
                                          ("ts_mp2_192k.ts", 2)])
def test_only_single_track_fragmented_files_claim_cmaf(kind, name, tracks):
    out = output(kind, name)
    brands = b.box_payload(out, "ftyp")
    compatible = [brands[i:i + 4] for i in range(8, len(brands), 4)]
    assert brands[:4] == b"iso6" and b"iso6" in compatible
    assert (b"cmfc" in compatible) == (tracks == 1)
    assert len(b.children(out, "moov/mvex")) == tracks


def test_a_progressive_file_claims_no_cmaf_brand():
    assert b"cmfc" not in b.box_payload(output("progressive", "ts_aac_64k.ts"), "ftyp")
