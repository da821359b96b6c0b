list(APPEND SOLVER_CORE_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/algorithm_basic_data.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tagmessage.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tags.cpp
)
