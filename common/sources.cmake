list(APPEND SOLVER_CORE_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/build_variant.h
    ${CMAKE_CURRENT_LIST_DIR}/common_function.cpp
    ${CMAKE_CURRENT_LIST_DIR}/config_file.cpp
    ${CMAKE_CURRENT_LIST_DIR}/config_keys.cpp
    ${CMAKE_CURRENT_LIST_DIR}/config_file_write.cpp
    ${CMAKE_CURRENT_LIST_DIR}/global_data.cpp
    ${CMAKE_CURRENT_LIST_DIR}/http_head.cpp
    ${CMAKE_CURRENT_LIST_DIR}/http_server.cpp
    ${CMAKE_CURRENT_LIST_DIR}/logwriter.cpp
    ${CMAKE_CURRENT_LIST_DIR}/metrics.cpp
    ${CMAKE_CURRENT_LIST_DIR}/termination_signals.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tsan_handoff.h
)
