// The plain records exchanged by the kernel, the adapters and the Python layer.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace ruvo {

struct StateDelta {
  std::string dimension;
  double from_value = 0.0;
  double to_value = 0.0;
};

// Read-only view of an action, so other action types can be certified unchanged.
class ProposedAction {
 public:
  virtual ~ProposedAction() = default;
  virtual std::string_view action_id() const = 0;
  virtual std::string_view agent_id() const = 0;
  virtual std::span<const StateDelta> state_deltas() const = 0;
};

class SimpleAction final : public ProposedAction {
 public:
  SimpleAction() = default;
  SimpleAction(std::string action_id, std::string agent_id, std::vector<StateDelta> deltas = {})
      : action_id_(std::move(action_id)),
        agent_id_(std::move(agent_id)),
        state_deltas_(std::move(deltas)) {}

  std::string_view action_id() const override { return action_id_; }
  std::string_view agent_id() const override { return agent_id_; }
  std::span<const StateDelta> state_deltas() const override { return state_deltas_; }

  std::string& mutable_action_id() { return action_id_; }
  std::string& mutable_agent_id() { return agent_id_; }
  std::vector<StateDelta>& mutable_state_deltas() { return state_deltas_; }

 private:
  std::string action_id_;
  std::string agent_id_;
  std::vector<StateDelta> state_deltas_;
};

struct CertifierConfig {
  double safe_threshold = 0.6;
  double caution_threshold = 0.3;
  double block_threshold = 0.1;
  double warning_margin_threshold = 0.5;
};

enum class Zone : std::uint8_t { Safe, Caution, Danger };

std::string_view zone_text(Zone zone);

// Warning texts in one buffer, each behind its length: a decision costs one allocation
// for its warnings however many it carries.
class WarningList {
 public:
  class const_iterator {
   public:
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    const_iterator() = default;
    explicit const_iterator(const char* at) : at_(at) {}
    std::string_view operator*() const { return {at_ + sizeof(std::uint32_t), length()}; }
    const_iterator& operator++() {
      at_ += sizeof(std::uint32_t) + length();
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator before = *this;
      ++*this;
      return before;
    }
    bool operator==(const const_iterator&) const = default;

   private:
    std::size_t length() const {
      std::uint32_t n = 0;
      std::memcpy(&n, at_, sizeof n);
      return n;
    }
    const char* at_ = nullptr;
  };

  WarningList() = default;
  WarningList(std::initializer_list<std::string_view> texts) {
    for (std::string_view text : texts) add(text);
  }
  // Converts implicitly, as the brace list does.
  WarningList(const std::vector<std::string>& texts) {
    for (const std::string& text : texts) add(text);
  }

  void add(std::string_view text) {
    add_written([&](std::string& out) { out += text; });
  }
  // Adds the text `write(buffer)` appends to the buffer, written in place.
  template <class Write>
  void add_written(Write&& write) {
    const std::size_t at = buffer_.size();
    buffer_.append(sizeof(std::uint32_t), '\0');
    write(buffer_);
    const auto n = static_cast<std::uint32_t>(buffer_.size() - at - sizeof(std::uint32_t));
    std::memcpy(buffer_.data() + at, &n, sizeof n);
    ++count_;
  }
  void reserve(std::size_t bytes) { buffer_.reserve(bytes); }

  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  // Total length of the texts.
  std::size_t text_size() const { return buffer_.size() - count_ * sizeof(std::uint32_t); }
  const_iterator begin() const { return const_iterator(buffer_.data()); }
  const_iterator end() const { return const_iterator(buffer_.data() + buffer_.size()); }
  std::vector<std::string> texts() const { return {begin(), end()}; }

 private:
  std::string buffer_;
  std::size_t count_ = 0;
};

class Decision {
 public:
  enum class Kind : std::uint8_t { Certified, CertifiedWithWarning, EscalateToHuman, Blocked };

  static Decision certified() { return Decision(Kind::Certified, {}, {}); }
  static Decision certified_with_warning(WarningList warnings) {
    return Decision(Kind::CertifiedWithWarning, {}, std::move(warnings));
  }
  static Decision escalate_to_human(std::string reason) {
    return Decision(Kind::EscalateToHuman, std::move(reason), {});
  }
  static Decision blocked(std::string reason) {
    return Decision(Kind::Blocked, std::move(reason), {});
  }

  Kind kind() const { return kind_; }
  // Empty unless the kind carries a reason.
  const std::string& reason() const { return reason_; }
  // Empty unless the kind is CertifiedWithWarning.
  const WarningList& warnings() const { return warnings_; }

  // The one text form of a decision: hash input and the Python `decision` string.
  std::string debug_form() const;
  void append_debug_form(std::string& out) const;

 private:
  Decision(Kind kind, std::string reason, WarningList warnings)
      : kind_(kind), reason_(std::move(reason)), warnings_(std::move(warnings)) {}

  Kind kind_;
  std::string reason_;
  WarningList warnings_;
};

// Orders names by their UTF-8 bytes, as unsigned values, a proper prefix first.
struct ByteOrder {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept {
    // Names are short and mostly differ early, where a plain loop beats a call to memcmp.
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
      const auto x = static_cast<unsigned char>(a[i]);
      const auto y = static_cast<unsigned char>(b[i]);
      if (x != y) return x < y;
    }
    return a.size() < b.size();
  }
};

// First entry of a name-sorted vector of (name, value) pairs whose name is not below
// `name`. Names mostly arrive in order, so the end is checked before searching.
template <class Entries>
auto lower_bound_by_name(Entries& entries, std::string_view name) -> decltype(entries.begin()) {
  if (entries.empty() || ByteOrder()(entries.back().first, name)) return entries.end();
  return std::lower_bound(
      entries.begin(), entries.end(), name,
      [](const auto& e, std::string_view n) { return ByteOrder()(e.first, n); });
}

// Sorts `items` by the name `name_of(item)` gives, in ByteOrder, keeping the order of items
// with one name. A certification holds a handful of items, where an insertion sort beats
// the buffer a stable sort allocates; a long list keeps n log n. The insertion sort only
// swaps, so every item keeps its own buffers, which a reused scratch relies on.
template <class T, class NameOf>
void stable_sort_by_name(std::span<T> items, NameOf name_of) {
  const auto before = [&](const T& a, const T& b) { return ByteOrder()(name_of(a), name_of(b)); };
  constexpr std::size_t kInsertionSortMax = 32;
  if (items.size() > kInsertionSortMax) {
    std::stable_sort(items.begin(), items.end(), before);
    return;
  }
  for (std::size_t i = 1; i < items.size(); ++i) {
    // Stops at an equal name, so items with one name keep their order.
    for (std::size_t j = i; j > 0 && before(items[j], items[j - 1]); --j) {
      std::swap(items[j], items[j - 1]);
    }
  }
}

// A sorted vector: a certification holds a handful of channels, so one block of entries
// beats a node per name both to build and to walk.
class MarginMap {
 public:
  using value_type = std::pair<std::string, double>;
  using Storage = std::vector<value_type>;
  using const_iterator = Storage::const_iterator;

  // Builds the map from (name, margin) entries in the order they were produced, sorting
  // them in place first; of several entries with one name the last wins. The pipeline
  // passes views of its channels' names, so each name is copied once, into its place.
  template <class Name>
  static MarginMap from_entries(std::vector<std::pair<Name, double>>& entries) {
    stable_sort_by_name(std::span(entries),
                        [](const auto& e) -> std::string_view { return e.first; });
    MarginMap map;
    Storage& kept = map.entries_;
    kept.reserve(entries.size());
    for (const auto& [name, margin] : entries) {
      if (!kept.empty() && kept.back().first == name) {
        kept.back().second = margin;
      } else {
        kept.emplace_back(name, margin);
      }
    }
    return map;
  }

  // Insert, or replace the margin of an existing name.
  void insert(std::string name, double margin) {
    auto it = lower_bound_by_name(entries_, name);
    if (it != entries_.end() && it->first == name) {
      it->second = margin;
    } else {
      entries_.emplace(it, std::move(name), margin);
    }
  }
  const double* find(std::string_view name) const {
    auto it = lower_bound_by_name(entries_, name);
    return it != entries_.end() && it->first == name ? &it->second : nullptr;
  }
  void reserve(std::size_t n) { entries_.reserve(n); }
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }
  // Entry with the smallest name; the map must not be empty.
  const value_type& first() const { return entries_.front(); }

 private:
  Storage entries_;
};

class KernelError {
 public:
  enum class Kind : std::uint8_t {
    ChannelEvaluationFailed,
    DomainAdapterFailed,
    PipelineFailed,
    RegistryFailed,
    DeclarativeConstraintFailed,
    SerializationFailed,
  };

  KernelError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  Kind kind() const { return kind_; }
  const std::string& message() const { return message_; }
  static std::string_view prefix(Kind kind);
  std::string display() const;

 private:
  Kind kind_;
  std::string message_;
};

// A value or exactly one KernelError.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(KernelError error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  KernelError& error() & { return std::get<1>(state_); }
  const KernelError& error() const& { return std::get<1>(state_); }
  KernelError&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, KernelError> state_;
};

}  // namespace ruvo
