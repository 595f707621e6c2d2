#include <optional>
#include <string>
#include <string_view>

#include "course/course.h"
#include "pack/pack_source.h"
#include "rom/errors.h"
#include "tests/fuzz/fuzz_support.h"

namespace tflux::fuzz {

Outcome FuzzPackSource(Input data) {
    const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    Course course;
    try {
        course = ParseCourseSource(text, "course");
    } catch (const EngineError&) {
        return Outcome::Refused;
    }
    Require(course.count >= kCourseMinPoints && course.count <= int(kCourseMaxPoints),
            "a compiled course has a point count outside 4 to 64");
    Require(course.creator == kCourseCreator, "a compiled course has another creator");
    Require(course.checksum == CourseChecksum(course), "a compiled course stores a wrong checksum");

    const auto block = EncodeCourse(course);
    Require(EncodeCourse(DecodeCourse(block)) == block, "a compiled course does not round-trip");
    ValidateCourse(course);
    MeasureCourse(course);

    // What the course writes as text compiles to the same course again.
    course.flag = 1;
    if (const std::optional<std::string> again = WriteCourseSource(course)) {
        Course back;
        try {
            back = ParseCourseSource(*again, "course");
        } catch (const EngineError& e) {
            throw FuzzFailure(std::string("rewritten course text does not compile: ") + e.what());
        }
        back.flag = 1;
        Require(EncodeCourse(back) == EncodeCourse(course),
                "rewritten course text compiles to another course");
    }
    return Outcome::Accepted;
}

}  // namespace tflux::fuzz
