#include "engine/algorithm_thread.h"

AlgorithmThread::AlgorithmThread() = default;

void AlgorithmThread::run() {}
