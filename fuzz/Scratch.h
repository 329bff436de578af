#pragma once

// A folder of the fuzzing process's own, and a way to put one input into a
// file there: the code under test reads paths, not memory.

#include <QString>

#include <cstddef>
#include <cstdint>

namespace varnelo::fuzz {

// Created on first use, below TMPDIR, named after the process.
const QString& scratchFolder();

// Writes the input to scratchFolder()/name and returns the path.
QString writeInput(const QString& name, const std::uint8_t* data, std::size_t size);

}  // namespace varnelo::fuzz
