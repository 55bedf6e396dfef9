#pragma once

// The table of an interface derived from IDispatch, as the COM client calls it and the stand-in
// server builds it.
namespace dormex::platform::win {

// Index in an interface's table of its own method at `position` (1 = the first after the three
// IUnknown and four IDispatch methods).
inline constexpr int kOwnBase = 6;

}  // namespace dormex::platform::win
