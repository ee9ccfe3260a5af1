#pragma once

#include <QString>
#include <array>

namespace freshgate {

// The version manifest: five fields separated by "*". Field 0 to 3 offer the
// resource, data, help and program versions; field 4 is the highest installed
// program version that must take the full package instead of the patch.
struct Manifest {
    static constexpr int kFields = 5;
    std::array<QString, kFields> fields;

    [[nodiscard]] const QString &resource() const { return fields[0]; }
    [[nodiscard]] const QString &data() const { return fields[1]; }
    [[nodiscard]] const QString &help() const { return fields[2]; }
    [[nodiscard]] const QString &exe() const { return fields[3]; }
    [[nodiscard]] const QString &fullPackageThreshold() const { return fields[4]; }

    // Whether any of the four offers reads as a version. A sign-in page or an
    // error page served with 200 holds none, and must not pass for a manifest
    // that offers nothing newer.
    [[nodiscard]] bool offersAnyVersion() const;
};

// Splits the manifest text. Every character but "*" belongs to the field it
// stands in, blanks and line breaks included; text after a fifth "*" is dropped
// and missing fields stay empty.
[[nodiscard]] Manifest parseManifest(const QString &text);

// The manifest the publisher writes: the five numbers joined by "*", nothing around them.
[[nodiscard]] QString formatManifest(const std::array<qint16, Manifest::kFields> &fields);

} // namespace freshgate
