list(APPEND SOLVER_CORE_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/anchor_datagram_batch.cpp
    ${CMAKE_CURRENT_LIST_DIR}/anchor_record.h
    ${CMAKE_CURRENT_LIST_DIR}/anchor_udp_socket_thread.cpp
)
