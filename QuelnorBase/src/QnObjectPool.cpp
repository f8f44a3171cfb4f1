#include "QuelnorBase/QnObjectPool.h"

namespace quelnor {

template class QnObjectPoolWrapper<std::vector<Event2D>>;

} // namespace quelnor
