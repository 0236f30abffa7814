// terramod's version: one constant for the banner and the SigMF metadata.
#pragma once

namespace terramod {

inline constexpr char kVersion[] = "1.2j";

}  // namespace terramod
