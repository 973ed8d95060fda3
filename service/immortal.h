/*
 * immortal.h - Immortal<T>(): one object of T, built in static storage on
 * first use and never destroyed. A thread that ends after the library's
 * statics are torn down at process exit still finds the object, and
 * unloading the library leaves nothing behind on the heap.
 */
#ifndef MAILWARD_IMMORTAL_H
#define MAILWARD_IMMORTAL_H

#include <new>

namespace mailward {

template <typename T>
T& Immortal() {
    alignas(T) static unsigned char storage[sizeof(T)];
    static T* object = ::new (static_cast<void*>(storage)) T;
    return *object;
}

}  // namespace mailward

#endif
