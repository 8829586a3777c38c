// What the whole-file ISO BMFF operations read: a file's bytes, all in memory (the bytes
// functions), or a file's address range in which only the boxes being read are present (the
// file-to-file functions, see file_input.hpp). For the latter the top level was scanned
// beforehand, and a loader brings each movie fragment in before it is read and lets it go
// after, so that memory holds the tables being read, never the media.
#pragma once

#include <vector>

#include "core/bytes.hpp"
#include "core/error.hpp"
#include "mp4_parser/box_cursor.hpp"

namespace plexo::mp4 {

class BoxLoader {
 public:
  // The bytes of `box` (a top-level box) are in the input from now on.
  virtual Status load(const Box& box) = 0;
  // ...and are no longer needed.
  virtual void release(const Box& box) = 0;

 protected:
  ~BoxLoader() = default;
};

struct MediaInput {
  MediaInput(ByteView bytes) : bytes(bytes) {}  // NOLINT: every byte in memory
  MediaInput(ByteView bytes, const Result<std::vector<Box>>* top, BoxLoader* loader)
      : bytes(bytes), top(top), loader(loader) {}

  // The top-level boxes, strict scan ("Box size {} exceeds available data").
  Result<std::vector<Box>> top_level() const {
    return top ? *top : list_boxes(bytes, kTopLevelBoxes);
  }
  Status load(const Box& box) const { return loader ? loader->load(box) : Status{}; }
  void release(const Box& box) const {
    if (loader) loader->release(box);
  }

  ByteView bytes;
  const Result<std::vector<Box>>* top = nullptr;  // scanned beforehand
  BoxLoader* loader = nullptr;
};

}  // namespace plexo::mp4
