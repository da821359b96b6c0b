# main.cpp is not part of the core: it becomes the two programs.
list(APPEND SOLVER_CORE_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/build_stamp.cpp
    ${CMAKE_CURRENT_LIST_DIR}/mainwindow.cpp
)
