list(APPEND SOLVER_CORE_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/algorithm.cpp
    ${CMAKE_CURRENT_LIST_DIR}/algorithm_thread.cpp
    ${CMAKE_CURRENT_LIST_DIR}/fix_residuals.cpp
    ${CMAKE_CURRENT_LIST_DIR}/matlib.cpp
    ${CMAKE_CURRENT_LIST_DIR}/nlos_rejection.cpp
    ${CMAKE_CURRENT_LIST_DIR}/smooth_filter.cpp
    ${CMAKE_CURRENT_LIST_DIR}/track_filter.cpp
    ${CMAKE_CURRENT_LIST_DIR}/site_learning.cpp
)
