"""The transport-stream scan, seen through convert_ts_to_mp4's diagnostic lines (written to the
process's standard output, captured at the file-descriptor level)."""
import pytest

import _plexo
from builders import adts_frame, descriptor, packetize, pat, pes, pmt, ts_packet

VIDEO, AUDIO = 256, 257
PROGRAMME = pat() + pmt([(0x1B, VIDEO), (0x0F, AUDIO)])
SLICE = b"\x00\x00\x00\x01\x09\xf0\x00\x00\x00\x01\x65\x88\x84\x00\x10"


def scan(capfd, stream: bytes) -> list[str]:
    """The diagnostic lines a conversion prints (whatever the conversion's outcome)."""
    capfd.readouterr()
    try:
        _plexo.convert_ts_to_mp4(stream)
    except ValueError:
        pass
    return capfd.readouterr().out.splitlines()


def video_pes(pts=None, dts=None, data=SLICE) -> bytes:
    return b"".join(packetize(VIDEO, pes(data, pts=pts, dts=dts)))


def audio_pes(frames: bytes, pts=None) -> bytes:
    return b"".join(packetize(AUDIO, pes(frames, pts=pts, stream_id=0xC0)))


def totals(audio: int, video: int) -> list[str]:
    return [f"Total audio frames collected: {audio}", f"Total video frames collected: {video}"]


class TestSync:
    @pytest.mark.parametrize("data", [b"", b"\x00" * 1000, bytes(range(0x47)) * 3])
    def test_no_sync_byte(self, capfd, data):
        with pytest.raises(ValueError) as info:
            _plexo.convert_ts_to_mp4(data)
        assert str(info.value) == "No valid TS sync byte found"
        assert capfd.readouterr().out == ""

    def test_only_sync_byte_near_the_end_gives_an_empty_scan(self, capfd):
        lines = scan(capfd, b"\x00" * 500 + b"\x47" + b"\x00" * 100)
        assert lines == totals(0, 0)

    def test_empty_programme_reports_no_video(self):
        with pytest.raises(ValueError, match="^No video data found$"):
            _plexo.convert_ts_to_mp4(b"\x00" * 10 + b"\x47" + b"\x00" * 10)

    def test_leading_garbage_is_skipped(self, capfd):
        stream = b"\x12\x34" * 50 + PROGRAMME + video_pes(pts=900)
        assert scan(capfd, stream)[:3] == ["Found PIDs - Video: 256, Audio: 257"] + totals(0, 1)

    @pytest.mark.parametrize("stride", [192, 204])
    def test_other_packet_sizes_lose_no_packet(self, capfd, stride):
        packets = [PROGRAMME[:188], PROGRAMME[188:]] + [video_pes(pts=3000 * i) for i in range(5)]
        if stride == 192:
            # timecode prefixes, one of which holds sync bytes as an arrival time can
            prefixes = [b"\x00\x01\x02\x03", b"\x00\x47\x47\x00"] + [bytes([0, 9, i, 1]) for i in range(5)]
            stream = b"".join(prefix + p for prefix, p in zip(prefixes, packets))
        else:
            stream = b"".join(p + b"\x47" * 16 for p in packets)
        lines = scan(capfd, stream)
        assert lines[1:3] == totals(0, 5)
        assert lines[3] == "Video PTS range: 0 - 12000 (0.00 - 0.13 sec)"

    def test_stray_sync_bytes_between_packets_lose_no_packet(self, capfd):
        garbage = b"\x47\x00\x47\x11" * 10  # sync bytes that no packet follows
        stream = PROGRAMME + video_pes(pts=0) + garbage + video_pes(pts=3000) + video_pes(pts=6000)
        assert scan(capfd, stream)[1:3] == totals(0, 3)

    @pytest.mark.parametrize("junk", [1, 10, 187, 200])
    def test_a_packet_followed_by_junk_is_read(self, capfd, junk):
        stream = PROGRAMME + video_pes(pts=0) + b"\x00" * junk + video_pes(pts=3000) + video_pes(pts=6000)
        assert scan(capfd, stream)[1:4] == totals(0, 3) + ["Video PTS range: 0 - 6000 (0.00 - 0.07 sec)"]


class TestProgrammeSelection:
    def test_pids_line(self, capfd):
        lines = scan(capfd, PROGRAMME + video_pes(pts=0))
        assert lines[0] == "Found PIDs - Video: 256, Audio: 257"

    @pytest.mark.parametrize("streams, lines", [
        ([(0x1B, VIDEO)], ["Found PIDs - Video: 256, Audio: none"]),
        ([(0x0F, AUDIO)], ["Found PIDs - Video: none, Audio: 257"]),
        ([(0x02, 300), (0x1B, VIDEO), (0x0F, AUDIO)],
         ["Found PIDs - Video: 256, Audio: 257",
          "Left out video - PID: 300 (stream_type 0x02): its codec is not converted"]),
        ([(0x1B, VIDEO), (0x11, 300), (0x0F, AUDIO)],
         ["Found PIDs - Video: 256, Audio: 257", "Left out audio - PID: 300 (LATM AAC audio, stream_type 0x11)"]),
        ([(0x1B, VIDEO), (0x06, 300), (0x81, AUDIO)],
         ["Found PIDs - Video: 256, Audio: 257",
          "Left out stream - PID: 300 (private data, stream_type 0x06): not examined for ADTS audio"]),
        ([(0x1B, VIDEO), (0x87, AUDIO)], ["Found PIDs - Video: 256, Audio: 257"]),
        ([(0x1B, VIDEO), (0x04, AUDIO)], ["Found PIDs - Video: 256, Audio: 257"]),
        ([(0x1B, VIDEO), (0x06, AUDIO, descriptor(0x0A, b"eng\0") + descriptor(0x6A, b"\0"))],
         ["Found PIDs - Video: 256, Audio: 257"]),
        ([(0x1B, VIDEO), (0x06, AUDIO, descriptor(0x7A, b"\0"))], ["Found PIDs - Video: 256, Audio: 257"]),
        ([(0x1B, VIDEO), (0x06, AUDIO, descriptor(0x05, b"AC-3"))], ["Found PIDs - Video: 256, Audio: 257"]),
        ([(0x1B, VIDEO), (0x06, AUDIO, descriptor(0x05, b"EAC3"))], ["Found PIDs - Video: 256, Audio: 257"]),
        ([(0x1B, VIDEO), (0x11, AUDIO), (0x82, 300)],
         ["Found PIDs - Video: 256, Audio: none", "Left out audio - PID: 257 (LATM AAC audio, stream_type 0x11)",
          "Left out audio - PID: 300 (DTS audio, stream_type 0x82)"]),
        ([(0x1B, VIDEO), (0x06, AUDIO, descriptor(0x05, b"Opus"))],
         ["Found PIDs - Video: 256, Audio: none", "Left out audio - PID: 257 (Opus audio, stream_type 0x06)"]),
        ([(0x11, AUDIO)], []),  # nothing to convert: no programme
    ])
    def test_programme_selection(self, capfd, streams, lines):
        assert scan(capfd, pat() + pmt(streams))[:-2] == lines

    def test_first_of_two_video_entries_wins(self, capfd):
        stream = pat() + pmt([(0x1B, 300), (0x1B, VIDEO), (0x0F, AUDIO)])
        assert scan(capfd, stream)[0] == "Found PIDs - Video: 300, Audio: 257"

    def test_a_pat_with_only_the_network_pid_names_no_programme(self, capfd):
        stream = pat(pmt_pid=0x10, program_number=0) + pmt([(0x1B, VIDEO), (0x0F, AUDIO)])
        assert scan(capfd, stream) == totals(0, 0)

    @pytest.mark.parametrize("programs", [
        [(0, 0x10), (1, 0x1000)],              # DVB: the network PID listed first
        [(0, 0x10), (7, 0x1000), (8, 0x1100)],  # the first real programme wins
    ])
    def test_program_number_zero_is_passed_over(self, capfd, programs):
        stream = pat(programs=programs) + pmt([(0x1B, VIDEO), (0x0F, AUDIO)]) + video_pes(pts=0)
        assert scan(capfd, stream)[:3] == ["Found PIDs - Video: 256, Audio: 257"] + totals(0, 1)

    def test_packets_before_the_programme_are_lost(self, capfd):
        stream = video_pes(pts=0) + PROGRAMME + video_pes(pts=3000)
        assert scan(capfd, stream)[1:4] == totals(0, 1) + ["Video PTS range: 3000 - 3000 (0.03 - 0.03 sec)"]

    def test_later_pmt_is_not_read_once_found(self, capfd):
        stream = PROGRAMME + pmt([(0x1B, 400), (0x0F, 401)]) + video_pes(pts=0)
        lines = scan(capfd, stream)
        assert lines.count("Found PIDs - Video: 256, Audio: 257") == 1
        assert lines[1:3] == totals(0, 1)


class TestTimestamps:
    def test_video_range_uses_first_and_last_pts(self, capfd):
        stream = PROGRAMME + video_pes(900000, 896400) + video_pes(903600, 900000) + video_pes(897000)
        assert scan(capfd, stream)[-1] == "Video PTS range: 900000 - 897000 (10.00 - 9.97 sec)"

    def test_audio_range(self, capfd):
        frame = adts_frame(b"\x21" * 20)
        stream = PROGRAMME + video_pes(0) + audio_pes(frame, 126000) + audio_pes(frame, 1026000)
        lines = scan(capfd, stream)
        assert lines[1:3] == totals(2, 1)
        assert lines[3] == "Audio PTS range: 126000 - 1026000 (1.40 - 11.40 sec)"

    def test_first_audio_frame_without_pts_suppresses_the_range(self, capfd):
        frame = adts_frame(b"\x21" * 20)
        stream = PROGRAMME + video_pes(0) + audio_pes(frame) + audio_pes(frame, 1026000)
        lines = scan(capfd, stream)
        assert lines[1:3] == totals(2, 1)
        assert not any(line.startswith("Audio PTS range") for line in lines)

    def test_wrapped_pts_is_printed_as_read(self, capfd):
        near_wrap = (1 << 33) - 1500
        stream = PROGRAMME + video_pes(near_wrap) + video_pes(1500)
        assert scan(capfd, stream)[-1] == f"Video PTS range: {near_wrap} - 1500 (95443.70 - 0.02 sec)"

    def test_pes_start_without_pes_header_counts_but_has_no_pts(self, capfd):
        stream = PROGRAMME + video_pes(0) + ts_packet(VIDEO, b"\x12" * 100, pusi=True)
        lines = scan(capfd, stream)
        assert lines[1:3] == totals(0, 2)
        assert not any(line.startswith("Video PTS range") for line in lines)

    def test_pes_start_with_a_long_adaptation_field_is_ignored(self, capfd):
        short = ts_packet(VIDEO, b"\x00\x00\x01\xe0\x00\x00\x80", pusi=True, adaptation=b"\xff" * 176)
        stream = PROGRAMME + video_pes(0) + short
        assert scan(capfd, stream)[1:3] == totals(0, 1)


class TestAdtsFraming:
    def test_frames_of_one_pes_share_its_pts(self, capfd):
        frames = adts_frame(b"\x01" * 30) + adts_frame(b"\x02" * 40) + adts_frame(b"\x03" * 50)
        lines = scan(capfd, PROGRAMME + video_pes(0) + audio_pes(frames, 180000))
        assert lines[1:4] == totals(3, 1) + ["Audio PTS range: 180000 - 180000 (2.00 - 2.00 sec)"]

    def test_frame_split_over_packets_and_crc_header(self, capfd):
        frames = adts_frame(b"\x05" * 300, protection_absent=False) + adts_frame(b"\x06" * 10)
        lines = scan(capfd, PROGRAMME + video_pes(0) + audio_pes(frames, 90000))
        assert lines[1:3] == totals(2, 1)

    @pytest.mark.parametrize("length", [0, 5, 6, 8191])
    def test_a_damaged_frame_length_drops_only_the_damaged_frame(self, capfd, length):
        bad = bytearray(adts_frame(b"\x07" * 20))
        bad[3] = (bad[3] & 0xFC) | (length >> 11)
        bad[4], bad[5] = (length >> 3) & 0xFF, ((length & 7) << 5) | 0x1F
        frames = adts_frame(b"\x01" * 20) + bytes(bad) + adts_frame(b"\x02" * 20)
        lines = scan(capfd, PROGRAMME + video_pes(0) + audio_pes(frames, 0) + audio_pes(adts_frame(b"\x03" * 9), 1920))
        assert lines[1:3] == totals(3, 1)

    def test_garbage_before_the_first_syncword_is_skipped(self, capfd):
        lines = scan(capfd, PROGRAMME + video_pes(0) + audio_pes(b"\x11" * 33 + adts_frame(b"\x01" * 20), 0))
        assert lines[1:3] == totals(1, 1)

    def test_long_audio_stream_without_headers_stays_linear(self, capfd):
        # Pending bytes without a syncword must not be rescanned from the start on every packet.
        packets = [ts_packet(AUDIO, b"\x11" * 184, counter=i) for i in range(40_000)]
        stream = PROGRAMME + video_pes(0) + audio_pes(b"\x11" * 100, 0) + b"".join(packets)
        assert scan(capfd, stream)[1:3] == totals(0, 1)
