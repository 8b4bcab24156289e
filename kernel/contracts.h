// The two contracts through which the domain-free kernel reaches domain logic.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/json_value.h"
#include "kernel/records.h"

namespace ruvo {

using StateVector = std::vector<double>;

// Success, or the error that stopped an operation.
using Status = std::optional<KernelError>;

class ConstraintChannelContract {
 public:
  virtual ~ConstraintChannelContract() = default;
  // Keys the margin map; valid while the channel lives.
  virtual std::string_view name() const = 0;
  virtual Result<double> evaluate(std::span<const double> state) const = 0;
  virtual std::vector<std::string> dimension_names() const = 0;
};

// The channels of one certification, in the adapter's order: constants the adapter keeps
// for its whole life, or channels made for this certification alone.
class ChannelList {
 public:
  // A channel that outlives the list, such as a stateless constant.
  void add(const ConstraintChannelContract& channel) { views_.push_back(&channel); }
  // A channel made for this certification. A null one keeps its slot: the pipeline
  // refuses the list rather than certifying without it.
  void add(std::unique_ptr<ConstraintChannelContract> channel) {
    views_.push_back(channel.get());
    if (channel) owned_.push_back(std::move(channel));
  }
  void reserve(std::size_t n) { views_.reserve(n); }
  void clear() {
    views_.clear();
    owned_.clear();
  }
  std::size_t size() const { return views_.size(); }
  bool empty() const { return views_.empty(); }
  std::size_t capacity() const { return views_.capacity(); }
  // Each slot is a channel or null.
  const ConstraintChannelContract* operator[](std::size_t i) const { return views_[i]; }
  auto begin() const { return views_.cbegin(); }
  auto end() const { return views_.cend(); }

 private:
  std::vector<const ConstraintChannelContract*> views_;
  std::vector<std::unique_ptr<ConstraintChannelContract>> owned_;
};

// Every operation is const: the pipeline only reads an adapter. Domain code written by
// users may fail anywhere, so channel listing and regime detection are fallible too.
// Operations that produce a list fill `out`, which arrives empty: the pipeline lends
// buffers it keeps from one certification to the next.
class DomainAdapterContract {
 public:
  virtual ~DomainAdapterContract() = default;
  virtual std::string_view domain_name() const = 0;
  virtual Status constraint_channels(ChannelList& out) const = 0;
  virtual Status map_action_to_state(const ProposedAction& action, StateVector& out) const = 0;
  virtual Status current_state(StateVector& out) const = 0;
  virtual Result<bool> detect_regime_change(std::span<const double> current,
                                            std::span<const double> proposed) const = 0;
  virtual std::optional<JsonValue> domain_summary(const MarginMap& margins) const = 0;
};

}  // namespace ruvo
