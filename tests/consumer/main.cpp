#include <QuelnorBase/QuelnorBase.h>

#include <cstdio>

int main() {
    quelnor::Event2D event(1, 2, 1, 3);
    quelnor::Logger::Instance().log_(quelnor::LOG_INFO, __FILE__, __LINE__, "consumer: event at (%d, %d)", event.x,
                                     event.y);
    std::puts("consumer ok");
    return event.x == 1 ? 0 : 1;
}
