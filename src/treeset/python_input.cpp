#include "python_input.hpp"

namespace nb = nanobind;

namespace cladomatic {
namespace {

class PythonFileSource final : public ByteSource {
 public:
  PythonFileSource(nb::object file, std::shared_ptr<Raised> raised)
      : file_(std::move(file)), raised_(std::move(raised)) {}
  PythonFileSource(const PythonFileSource&) = delete;
  PythonFileSource& operator=(const PythonFileSource&) = delete;
  // The reader may close its input from the pipeline, without the lock.
  ~PythonFileSource() override {
    nb::gil_scoped_acquire lock;
    file_.reset();
  }

  Result<std::size_t> read(std::span<char> into) override {
    if (unread_.empty()) {
      nb::gil_scoped_acquire lock;
      try {
        nb::object chunk = file_.attr("read")(into.size());
        if (nb::isinstance<nb::str>(chunk)) chunk = chunk.attr("encode")("utf-8");
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(chunk.ptr(), &data, &size) < 0) throw nb::python_error();
        chunk_.assign(data, static_cast<std::size_t>(size));
        unread_ = chunk_;
      } catch (nb::python_error& error) {
        raised_->keep(error);
        return Error{"the file object raised an exception"};
      }
    }
    return take_front(unread_, into);
  }

 private:
  nb::object file_;
  std::shared_ptr<Raised> raised_;
  std::string chunk_;  // what the last `read` returned
  std::string_view unread_;
};

}  // namespace

std::unique_ptr<ByteSource> python_file_source(nb::object file, std::shared_ptr<Raised> raised) {
  return std::make_unique<PythonFileSource>(std::move(file), std::move(raised));
}

}  // namespace cladomatic
