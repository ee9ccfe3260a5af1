#pragma once

#include "base/Failure.h"

#include <QString>
#include <optional>
#include <utility>

namespace freshgate {

// The outcome of a step that can fail: a value, or why there is none. Never thrown; a caller
// that drops one by mistake gets a compiler warning.
template <typename T> class [[nodiscard]] Result {
public:
    Result(T value) : m_value(std::move(value)) {}
    Result(Failure failure) : m_failure(std::move(failure)) {}

    [[nodiscard]] bool ok() const { return m_value.has_value(); }
    explicit operator bool() const { return ok(); }

    // Only when ok().
    [[nodiscard]] const T &value() const & { return *m_value; }
    [[nodiscard]] T &value() & { return *m_value; }
    [[nodiscard]] T &&value() && { return std::move(*m_value); }
    [[nodiscard]] const T *operator->() const { return &*m_value; }
    [[nodiscard]] const T &operator*() const { return *m_value; }

    // Only when !ok().
    [[nodiscard]] const Failure &failure() const { return m_failure; }
    [[nodiscard]] FailureKind kind() const { return m_failure.kind; }
    [[nodiscard]] const QString &message() const { return m_failure.message; }

private:
    std::optional<T> m_value;
    Failure m_failure;
};

// The outcome of a step that gives nothing back but can fail.
template <> class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Failure failure) : m_failed(true), m_failure(std::move(failure)) {}

    [[nodiscard]] bool ok() const { return !m_failed; }
    explicit operator bool() const { return ok(); }
    [[nodiscard]] const Failure &failure() const { return m_failure; }
    [[nodiscard]] FailureKind kind() const { return m_failure.kind; }
    [[nodiscard]] const QString &message() const { return m_failure.message; }

private:
    bool m_failed = false;
    Failure m_failure;
};

using Status = Result<void>;

} // namespace freshgate
