#include <algorithm>
#include <array>
#include <optional>
#include <string>

#include "course/course.h"
#include "pack/pack_source.h"
#include "rom/errors.h"
#include "tests/fuzz/fuzz_support.h"

namespace tflux::fuzz {

Outcome FuzzCourse(Input data) {
    // Any input is a block: cut to 2,016 bytes or padded with zeros.
    std::array<std::uint8_t, kTrackBlockSize> block{};
    std::copy_n(data.begin(), std::min(data.size(), block.size()), block.begin());

    const Course course = DecodeCourse(block);
    Require(EncodeCourse(course) == block, "a course block does not encode back to its bytes");

    const std::uint32_t checksum = CourseChecksum(course);
    // The sentences and the figures of one walk, as ValidateCourse and MeasureCourse give them.
    const std::vector<std::string> problems = JudgeCourse(course).problems;
    Require(checksum == course.checksum || !problems.empty(),
            "a course with a wrong stored checksum passed the validator");
    for (const std::string& problem : problems) {
        Require(!problem.empty(), "the validator gave an empty sentence");
    }

    // Readable text, when there is any, compiles back to the very same block.
    if (const std::optional<std::string> text = WriteCourseSource(course)) {
        Course back;
        try {
            back = ParseCourseSource(*text, "course");
        } catch (const EngineError& e) {
            throw FuzzFailure(std::string("written course text does not compile: ") + e.what());
        }
        back.flag = 1;
        Require(EncodeCourse(back) == block, "written course text compiles to another block");
    }
    return problems.empty() ? Outcome::Accepted : Outcome::Refused;
}

}  // namespace tflux::fuzz
