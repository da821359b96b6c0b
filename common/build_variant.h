#ifndef BUILD_VARIANT_H
#define BUILD_VARIANT_H

// The one place that knows which program is being built. Everything that
// differs between solver_unit and solver_unit_hr derives from these constants;
// code elsewhere branches with `if constexpr (kHrBuild)`, never with #ifdef.

namespace variant {

#if defined(SOLVER_UNIT_HR)
constexpr bool kHrBuild = true;
constexpr int kRecordSize = 72;
constexpr const char *kVersion = "1.0.0";
#else
constexpr bool kHrBuild = false;
constexpr int kRecordSize = 54;
constexpr const char *kVersion = "2.0.0";
#endif

// Offset and length of the tag telemetry block inside a record: everything
// between the fixed header and the trailing CR LF.
constexpr int kTelemetryOffset = 26;
constexpr int kTelemetrySize = kRecordSize - kTelemetryOffset - 2;

} // namespace variant

#endif // BUILD_VARIANT_H
