#include "quick_ack.h"

namespace quick_ack {

void request(long long)
{
}

} // namespace quick_ack
