#pragma once
// A RandomSource held by value, for the engines that draw random numbers: whoever is given a source
// owns it, and copying the owner copies the source's state. A copied engine therefore continues with
// the same numbers as its original, independently of it, which keeps a copied seeded conductor
// reproducible.
#include "FractalCore/RandomSource.h"

#include <concepts>
#include <memory>
#include <utility>

namespace veltrane {

class OwnedRandomSource {
public:
    // Implicit, so that `makeEngine(Mulberry32(seed))` reads as the source being handed over.
    template <std::derived_from<RandomSource> Source>
    requires std::copy_constructible<Source> OwnedRandomSource(Source source)
        : source_(std::make_unique<Source>(std::move(source))),
          copy_([](const RandomSource& s) -> std::unique_ptr<RandomSource> {
              return std::make_unique<Source>(static_cast<const Source&>(s));
          })
    {}

    OwnedRandomSource(const OwnedRandomSource& other) : source_(other.copy_(*other.source_)), copy_(other.copy_) {}
    OwnedRandomSource& operator=(const OwnedRandomSource& other)
    {
        if (this != &other) {
            source_ = other.copy_(*other.source_);
            copy_ = other.copy_;
        }
        return *this;
    }
    // A moved-from owner may only be assigned to or destroyed.
    OwnedRandomSource(OwnedRandomSource&&) noexcept = default;
    OwnedRandomSource& operator=(OwnedRandomSource&&) noexcept = default;
    ~OwnedRandomSource() = default;

    // In [0, 1), advancing the owned source.
    double next() { return source_->next(); }

private:
    std::unique_ptr<RandomSource> source_;
    std::unique_ptr<RandomSource> (*copy_)(const RandomSource&);
};

} // namespace veltrane
