#pragma once

#include <QString>

namespace freshgate::test {

// Makes a file or folder immutable (chattr +i) for the guard's life, so that even root cannot
// change it: a folder then takes no new names and loses none, a file cannot be replaced. Needs
// root and a file system with the attribute; isSet() says whether it took, so a test can skip.
class Immutable {
public:
    explicit Immutable(QString path);
    ~Immutable();
    Immutable(const Immutable &) = delete;
    Immutable &operator=(const Immutable &) = delete;

    [[nodiscard]] bool isSet() const { return m_set; }

private:
    QString m_path;
    bool m_set = false;
};

} // namespace freshgate::test
