#include "store/tags.h"

Tags::Tags() = default;
