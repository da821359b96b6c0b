list(APPEND SOLVER_CORE_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/api_addition_message.cpp
    ${CMAKE_CURRENT_LIST_DIR}/api_values.cpp
    ${CMAKE_CURRENT_LIST_DIR}/api_json.cpp
    ${CMAKE_CURRENT_LIST_DIR}/api_json_writer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/api_udp_socket_thread.cpp
    ${CMAKE_CURRENT_LIST_DIR}/api_config_requests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/api_request_senders.cpp
    ${CMAKE_CURRENT_LIST_DIR}/mqtt_publisher.cpp
)
