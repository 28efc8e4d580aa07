#pragma once

// The time-outs of the server's connections, earliest first. Each connection also holds its
// own, so that changing it finds the old entry without a search.

#include <cstdint>
#include <optional>
#include <set>
#include <utility>

#include "Connection.h"

namespace tidewell::timepage {

class Deadlines {
 public:
  // Gives connection `id` the time-out `deadline`, or none.
  void Set(std::uint64_t id, Connection& connection, std::optional<Mono> deadline) {
    Forget(id, connection);
    connection.SetDeadline(deadline);
    if (deadline) inOrder_.insert({*deadline, id});
  }
  // Takes a connection that is going away out of the list.
  void Forget(std::uint64_t id, const Connection& connection) {
    if (connection.deadline()) inOrder_.erase({*connection.deadline(), id});
  }

  std::optional<Mono> Earliest() const {
    if (inOrder_.empty()) return std::nullopt;
    return inOrder_.begin()->first;
  }
  // The earliest time-out of a connection for which `wanted(id)` holds, and that connection.
  template <typename Wanted>
  std::optional<std::pair<Mono, std::uint64_t>> EarliestOf(Wanted wanted) const {
    for (const auto& entry : inOrder_) {
      if (wanted(entry.second)) return entry;
    }
    return std::nullopt;
  }
  // A connection whose time-out has come at `now`, if there is one.
  std::optional<std::uint64_t> Expired(Mono now) const {
    if (inOrder_.empty() || inOrder_.begin()->first > now) return std::nullopt;
    return inOrder_.begin()->second;
  }

 private:
  std::set<std::pair<Mono, std::uint64_t>> inOrder_;
};

}  // namespace tidewell::timepage
