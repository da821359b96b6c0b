list(APPEND SOLVER_CORE_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/metrics_server.cpp
    ${CMAKE_CURRENT_LIST_DIR}/timer_thread.cpp
)
