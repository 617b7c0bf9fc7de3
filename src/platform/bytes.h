// SPDX-License-Identifier: MPL-2.0
// Byte arrays, a growable seekable byte buffer and a bounds-checked reader. All multi-byte
// helpers are little-endian, the byte order of the OPC UA binary encoding.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "platform/error.h"

namespace varo {

static_assert(std::endian::native == std::endian::little, "little-endian hosts only");

using ByteArray = std::vector<uint8_t>;
using ByteSpan = std::span<const uint8_t>;

// Growable byte buffer with a write position. Writing at a position inside the data
// overwrites; writing at the end appends.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  explicit ByteBuffer(ByteSpan bytes) : data_(bytes.begin(), bytes.end()) {}

  const uint8_t* data() const { return data_.data(); }
  uint8_t* data() { return data_.data(); }
  size_t size() const { return data_.size(); }
  bool empty() const { return data_.empty(); }
  size_t position() const { return pos_; }
  ByteSpan view() const { return {data_.data(), data_.size()}; }
  const ByteArray& bytes() const { return data_; }
  ByteArray release() {
    pos_ = 0;
    return std::move(data_);
  }

  // Moves the write position; a position beyond the end raises.
  void seek(size_t pos) {
    if (pos > data_.size()) throw EReadError("Stream seek beyond end");
    pos_ = pos;
  }
  void seekEnd() { pos_ = data_.size(); }
  void clear() {
    data_.clear();
    pos_ = 0;
  }
  void reserve(size_t n) { data_.reserve(n); }
  // Cuts the data at the current position.
  void truncate() { data_.resize(pos_); }
  // Replaces the whole content; the position moves to the start.
  void assign(ByteSpan bytes) {
    data_.assign(bytes.begin(), bytes.end());
    pos_ = 0;
  }

  void write(const void* src, size_t n) {
    if (n == 0) return;
    if (pos_ == data_.size()) {
      data_.insert(data_.end(), static_cast<const uint8_t*>(src), static_cast<const uint8_t*>(src) + n);
    } else {
      if (pos_ + n > data_.size()) data_.resize(pos_ + n);
      std::memcpy(data_.data() + pos_, src, n);
    }
    pos_ += n;
  }
  void write(ByteSpan bytes) { write(bytes.data(), bytes.size()); }
  void writeU8(uint8_t v) {
    if (pos_ == data_.size()) {
      data_.push_back(v);
      ++pos_;
    } else {
      write(&v, 1);
    }
  }
  template <typename T>
  void writeLE(T v) {
    static_assert(std::is_trivially_copyable_v<T>);
    write(&v, sizeof v);
  }
  // Patches a little-endian UInt32 at an absolute offset without moving the position.
  void patchU32(size_t offset, uint32_t v) {
    if (offset + 4 > data_.size()) throw EReadError("Stream patch beyond end");
    std::memcpy(data_.data() + offset, &v, 4);
  }

 private:
  ByteArray data_;
  size_t pos_ = 0;
};

// Bounds-checked reader over bytes it does not own. Every read past the end raises EReadError.
class ByteReader {
 public:
  ByteReader() = default;
  explicit ByteReader(ByteSpan bytes) : p_(bytes.data()), n_(bytes.size()) {}
  ByteReader(const uint8_t* p, size_t n) : p_(p), n_(n) {}

  size_t size() const { return n_; }
  size_t position() const { return pos_; }
  size_t remaining() const { return n_ - pos_; }
  bool atEnd() const { return pos_ == n_; }
  const uint8_t* current() const { return p_ + pos_; }
  void seek(size_t pos) {
    if (pos > n_) throw EReadError("Stream seek beyond end");
    pos_ = pos;
  }

  void read(void* dst, size_t n) {
    need(n);
    if (n) std::memcpy(dst, p_ + pos_, n);
    pos_ += n;
  }
  // A view of the next n bytes; the reader advances past them.
  ByteSpan take(size_t n) {
    need(n);
    ByteSpan s(p_ + pos_, n);
    pos_ += n;
    return s;
  }
  void skip(size_t n) {
    need(n);
    pos_ += n;
  }
  uint8_t readU8() {
    need(1);
    return p_[pos_++];
  }
  template <typename T>
  T readLE() {
    static_assert(std::is_trivially_copyable_v<T>);
    need(sizeof(T));
    T v;
    std::memcpy(&v, p_ + pos_, sizeof(T));
    pos_ += sizeof(T);
    return v;
  }
  uint16_t readU16() { return readLE<uint16_t>(); }
  uint32_t readU32() { return readLE<uint32_t>(); }
  uint64_t readU64() { return readLE<uint64_t>(); }

 private:
  void need(size_t n) const {
    if (n > n_ - pos_) throw EReadError("Stream read error");
  }
  const uint8_t* p_ = nullptr;
  size_t n_ = 0;
  size_t pos_ = 0;
};

inline ByteArray ToBytes(std::string_view s) { return ByteArray(s.begin(), s.end()); }

}  // namespace varo
