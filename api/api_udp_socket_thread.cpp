#include "api/api_udp_socket_thread.h"

ApiUdpSocketThread::ApiUdpSocketThread() = default;

void ApiUdpSocketThread::apiSendTagMsgToRemoteSlot(TAG_IMEI_t, double, double, double, QByteArray) {}

void ApiUdpSocketThread::run() {}
