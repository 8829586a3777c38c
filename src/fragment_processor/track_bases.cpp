#include "fragment_processor/track_bases.hpp"

namespace plexo::fragment_processor {

std::optional<std::uint32_t> TrackBases::timescale_of(TrackKey track) const {
  if (track >= kNoTrackHeader) return std::nullopt;
  auto found = timescales_.find(static_cast<std::uint32_t>(track));
  if (found == timescales_.end()) return std::nullopt;
  return found->second;
}

void TrackBases::remember(TrackKey track, Entry entry) {
  remembered_.emplace(track, entry);
  if (!first_) first_ = track;
}

TrackBases::Meeting TrackBases::meet(TrackKey track, std::uint64_t time) {
  if (auto found = remembered_.find(track); found != remembered_.end()) {
    if (found->second.waiting) return {std::nullopt, track};
    return {found->second.base.time, track};
  }
  const std::optional<std::uint32_t> timescale = timescale_of(track);
  if (timescale && !origin_.empty()) return {origin_.in(*timescale), track};

  if (remembered_.size() >= kMaxRemembered) {
    // first_ is set: it was the first track remembered.
    if (auto base = base_of(*first_)) return {base->time, *first_};
    return {std::nullopt, *first_};
  }
  if (timescale) {
    opening_.offer(time, *timescale);
    remember(track, {{0, *timescale}, true});
    waiting_.push_back(track);
    return {std::nullopt, track};
  }
  remember(track, {{time, 0}, false});
  return {time, track};
}

void TrackBases::close_segment() {
  if (waiting_.empty()) return;
  origin_ = opening_;
  opening_ = {};
  for (TrackKey track : waiting_) {
    Entry& entry = remembered_.at(track);
    entry.base.time = origin_.in(entry.base.timescale);
    entry.waiting = false;
  }
  waiting_.clear();
}

std::optional<TrackBase> TrackBases::base_of(TrackKey track) const {
  if (auto found = remembered_.find(track); found != remembered_.end()) {
    if (found->second.waiting) return std::nullopt;
    return found->second.base;
  }
  const std::optional<std::uint32_t> timescale = timescale_of(track);
  if (timescale && !origin_.empty()) return TrackBase{origin_.in(*timescale), *timescale};
  return std::nullopt;
}

std::optional<std::uint64_t> TrackBases::first() const {
  if (!first_) return std::nullopt;
  if (auto base = base_of(*first_)) return base->time;
  return std::nullopt;
}

void TrackBases::clear() {
  origin_ = {};
  opening_ = {};
  remembered_.clear();
  waiting_.clear();
  first_.reset();
}

}  // namespace plexo::fragment_processor
