// The fragment-run reader's walk (a template over the visitor).
#pragma once

namespace plexo::mp4 {

template <class Visitor>
Result<bool> FragmentRunReader::read(const Box& moof, Visitor& visitor) {
  const BoxRules rules = strictness_ == RunStrictness::kStrict ? kLocatorBoxes : kChildBoxes;
  const bool strict = strictness_ == RunStrictness::kStrict;
  BoxCursor trafs = BoxCursor::children(moof, rules);
  bool first_traf = true;
  std::uint64_t previous_end = moof.offset;
  while (auto traf = PLEXO_TRY(trafs.next())) {
    if (traf->type != FourCC("traf")) continue;
    // The traf's children are walked twice (headers, then runs) rather than listed: a traf
    // may hold millions of boxes.
    TrackFragmentHeaders found;
    PLEXO_CHECK(found.find(traf->payload, rules, traf->payload_offset()));
    std::optional<TrackFragmentHeader> header;
    if (found.tfhd) header = TrackFragmentHeader::read(found.tfhd->payload);
    if (strict && (!header || !header->complete)) return invalid();
    if (!header) header = TrackFragmentHeader{};

    TrackFragmentInfo info;
    info.track_id = header->track_id;
    info.base = previous_end;
    if (header->base_data_offset) info.base = *header->base_data_offset;
    else if ((header->flags & tfhd_flags::kDefaultBaseIsMoof) || first_traf) info.base = moof.offset;
    first_traf = false;
    if (found.tfdt)
      if (auto time = TrackFragmentDecodeTime::read(found.tfdt->payload)) info.decode_time = time->decode_time;

    TrackRunEntry defaults;
    const TrackExtends* trex = trex_.find(info.track_id);
    defaults.duration = header->default_duration.value_or(trex ? trex->default_duration : 0);
    defaults.size = header->default_size.value_or(trex ? trex->default_size : 0);
    defaults.flags = header->default_flags.value_or(trex ? trex->default_flags : 0);

    std::uint64_t& next_time = next_decode_time_[info.track_id];
    std::uint64_t decode_time = info.decode_time.value_or(next_time);
    const bool wanted = visitor.track_fragment(info);

    std::uint64_t position = info.base;
    BoxCursor runs = BoxCursor::children(*traf, rules);
    while (auto child = PLEXO_TRY(runs.next())) {
      if (child->type != FourCC("trun")) continue;
      auto run = TrackRun::read(child->payload);
      if (!run) {
        if (strict) return invalid();
        continue;
      }
      SampleAction action = PLEXO_TRY(read_run(*run, defaults, info.base, position, decode_time,
                                               wanted, visitor));
      if (action == SampleAction::kStop) return false;
    }
    next_time = decode_time;
    previous_end = position;
  }
  return true;
}

template <class Visitor>
Result<SampleAction> FragmentRunReader::read_run(const TrackRun& run, const TrackRunEntry& defaults,
                                                 std::uint64_t base, std::uint64_t& position,
                                                 std::uint64_t& decode_time, bool wanted,
                                                 Visitor& visitor) {
  const bool strict = strictness_ == RunStrictness::kStrict;
  if (strict && !run.complete) return invalid();
  if (run.flags & trun_flags::kDataOffsetPresent) {
    if (!run.data_offset) return SampleAction::kNext;  // lenient: a run without its offset
    const std::int64_t offset = *run.data_offset;
    if (offset < 0 && static_cast<std::uint64_t>(-offset) > base) {
      if (strict) return invalid();
      return SampleAction::kNext;
    }
    auto start = offset >= 0 ? checked_add(base, static_cast<std::uint64_t>(offset))
                             : std::optional<std::uint64_t>{base - static_cast<std::uint64_t>(-offset)};
    if (!start) {
      if (strict) return invalid();
      return SampleAction::kNext;
    }
    position = *start;
  }

  const bool has_table = run.entry_width > 0;
  FragmentSample sample;
  for (std::uint32_t i = 0; i < run.sample_count; ++i) {
    const TrackRunEntry entry = run.entry(i, defaults);
    sample.offset = position;
    sample.size = entry.size;
    sample.duration = entry.duration;
    sample.flags = (i == 0 && run.first_sample_flags) ? *run.first_sample_flags : entry.flags;
    sample.composition_offset = entry.composition_offset;
    sample.decode_time = decode_time;
    sample.index_in_run = i;
    sample.uniform_rest = !has_table && i >= 1;

    if (!strict) {
      const bool from_table =
          has_table && static_cast<std::uint64_t>(i) * run.entry_width + run.entry_width <= run.entries.size();
      // A run with a table ends with its table: past it, a count would only repeat the
      // defaults over whatever bytes follow.
      if (!from_table && (has_table || sample.size == 0)) break;
      if (position > file_.size() || file_.size() - position < sample.size) break;
      if (media_ && !media_->holds(position, sample.size)) break;
      if (budget_.samples_left == 0 || budget_.bytes_left < sample.size) break;
      --budget_.samples_left;
      budget_.bytes_left -= sample.size;
    } else if (!wanted && sample.uniform_rest) {
      // Skip the identical rest of the run at once.
      const std::uint64_t rest = run.sample_count - i;
      auto bytes = checked_mul(rest, sample.size);
      auto end = bytes ? checked_add(position, *bytes) : std::nullopt;
      if (!end) return invalid();
      position = *end;
      decode_time += rest * sample.duration;
      break;
    }

    if (strict && wanted && media_ && position < file_.size() && !media_->starts_in(position))
      return invalid();
    SampleAction action = wanted ? visitor.sample(static_cast<const FragmentSample&>(sample))
                                 : SampleAction::kNext;
    if (action == SampleAction::kStop) return action;
    auto next = checked_add(position, sample.size);
    if (!next) return invalid();
    position = *next;
    decode_time += sample.duration;
    if (action == SampleAction::kSkipRun && sample.uniform_rest) {
      const std::uint64_t rest = run.sample_count - i - 1;
      auto bytes = checked_mul(rest, sample.size);
      auto end = bytes ? checked_add(position, *bytes) : std::nullopt;
      if (!end) return invalid();
      position = *end;
      decode_time += rest * sample.duration;
      break;
    }
    if (action == SampleAction::kSkipRun) wanted = false;
  }
  return SampleAction::kNext;
}

}  // namespace plexo::mp4
