#include "ingest/anchor_udp_socket_thread.h"

AnchorUdpSocketThread::AnchorUdpSocketThread() = default;

void AnchorUdpSocketThread::run() {}
