# The update session and its decisions, without any window (update_session.h): the installer's
# dialogs and `qzp check` both run it. Included by app/ and, in builds without the installer, by
# the tools.
add_library(qzp_session STATIC
  ${CMAKE_CURRENT_LIST_DIR}/package_acceptance.cpp
  ${CMAKE_CURRENT_LIST_DIR}/update_decision.cpp
  ${CMAKE_CURRENT_LIST_DIR}/update_session.cpp
  ${CMAKE_CURRENT_LIST_DIR}/session_check.cpp
  ${CMAKE_CURRENT_LIST_DIR}/run_log.cpp
  ${CMAKE_CURRENT_LIST_DIR}/device_state.cpp
  ${CMAKE_CURRENT_LIST_DIR}/room.cpp
  ${CMAKE_CURRENT_LIST_DIR}/progress_position.cpp
  ${CMAKE_CURRENT_LIST_DIR}/step_outcome.cpp)
target_include_directories(qzp_session PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_definitions(qzp_session PRIVATE QZP_VERSION="${PROJECT_VERSION}")  # the log's
target_link_libraries(qzp_session PUBLIC qzp_package qzp_ini qzp_platform qzp_signature
                                  PRIVATE qzp_warnings)
