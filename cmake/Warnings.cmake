# Warning flags shared by every target of the project (qzp_warnings interface library).
add_library(qzp_warnings INTERFACE)
if(MSVC)
  target_compile_options(qzp_warnings INTERFACE /W4)
else()
  target_compile_options(qzp_warnings INTERFACE -Wall -Wextra -Wpedantic)
  if(QZP_WERROR)
    target_compile_options(qzp_warnings INTERFACE -Werror)
  endif()
  # GCC 12's flow-based checks report inlined libstdc++ string and vector copies, and bounds on
  # paths its own range analysis cannot reach, when optimising (GCC bugs 105329, 105651, 106199).
  # Debug and sanitizer builds keep them; optimised GCC builds would otherwise fail on
  # std::string concatenation alone.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12)
    target_compile_options(qzp_warnings INTERFACE
      $<$<NOT:$<CONFIG:Debug>>:-Wno-restrict -Wno-array-bounds -Wno-stringop-overflow>)
  endif()
endif()
