// Scaling embedded pictures down: pictures made by ffmpeg, results measured by ffprobe and
// compared with ffmpeg's own scaling of the original.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "AppTestFiles.h"
#include "image/CoverScale.h"
#include "image/SwScaleLibrary.h"

using namespace tunevert;
using namespace tunevert::testing;

namespace {

// A picture of ffmpeg's test pattern at Size ("3000x2000"), in the format File's name says.
std::string MakePicture(const std::string& File, const std::string& Size) {
  int status = -1;
  CommandOutput("ffmpeg -nostdin -v error -f lavfi -i testsrc2=s=" + Size +
                    " -frames:v 1 -q:v 2 -y " + Quoted(File),
                &status);
  EXPECT_EQ(status, 0) << "ffmpeg could not make " << File;
  const auto bytes = ReadAll(File);
  return {bytes.begin(), bytes.end()};
}

// "codec,width,height" as ffprobe sees an image file.
std::string ProbeImage(const std::string& File) {
  return Trimmed(
      CommandOutput("ffprobe -v error -show_entries stream=codec_name,width,height "
                    "-of csv=p=0 " +
                    Quoted(File)));
}

// An image's pixels as RGB, scaled by ffmpeg to Width x Height first when given.
std::vector<uint8_t> Pixels(const std::string& File, int Width = 0, int Height = 0) {
  const std::string scale = Width == 0 ? std::string()
                                       : " -vf scale=" + std::to_string(Width) + ":" +
                                             std::to_string(Height) + ":flags=area";
  const std::string out = CommandOutput("ffmpeg -nostdin -v error -i " + Quoted(File) + scale +
                                        " -f rawvideo -pix_fmt rgb24 -");
  return {out.begin(), out.end()};
}

double MeanDifference(const std::vector<uint8_t>& A, const std::vector<uint8_t>& B) {
  if (A.size() != B.size() || A.empty()) return 255;
  double sum = 0;
  for (size_t i = 0; i < A.size(); ++i) sum += std::abs(int{A[i]} - int{B[i]});
  return sum / static_cast<double>(A.size());
}

struct TShrinkCase {
  std::string File, Size;
  int Width, Height;  // expected
};

class CoverScale : public ::testing::TestWithParam<TShrinkCase> {};

TEST_P(CoverScale, LargePicturesBecomeJpegsOfTheLimitWithTheirAspect) {
  const auto& c = GetParam();
  TempDir dir;
  TCarriedPicture picture;
  picture.Type = 3;
  picture.Mime = "image/whatever";  // the bytes decide, not the tag's word
  picture.Description = "Front";
  picture.Data = MakePicture(dir / c.File, c.Size);
  std::string warning;
  const auto shrunk = ShrinkCover(picture, 500, warning);
  ASSERT_TRUE(shrunk.has_value()) << warning;
  EXPECT_EQ(warning, "");
  EXPECT_EQ(shrunk->Type, 3);
  EXPECT_EQ(shrunk->Description, "Front");
  EXPECT_EQ(shrunk->Mime, "image/jpeg");
  const std::string result = dir / "shrunk.jpg";
  WriteAll(result, {shrunk->Data.begin(), shrunk->Data.end()});
  EXPECT_EQ(ProbeImage(result),
            "mjpeg," + std::to_string(c.Width) + "," + std::to_string(c.Height));
  // The same picture as ffmpeg scales it, not a shifted, mirrored or recoloured one.
  EXPECT_LT(MeanDifference(Pixels(result), Pixels(dir / c.File, c.Width, c.Height)), 6.0);
}

INSTANTIATE_TEST_SUITE_P(Pictures, CoverScale,
                         ::testing::Values(TShrinkCase{"wide.png", "3000x2000", 500, 333},
                                           TShrinkCase{"square.jpg", "3000x3000", 500, 500},
                                           TShrinkCase{"tall.gif", "600x1500", 200, 500},
                                           TShrinkCase{"odd.bmp", "1001x999", 500, 499}),
                         [](const auto& Info) {
                           std::string name = Info.param.File;
                           name[name.find('.')] = '_';
                           return name;
                         });

TEST(CoverScaleKept, SmallOrUnreadablePicturesStayAsTheyAre) {
  TempDir dir;
  TCarriedPicture small;
  small.Data = MakePicture(dir / "small.png", "300x300");
  std::string warning;
  EXPECT_FALSE(ShrinkCover(small, 500, warning).has_value());
  EXPECT_FALSE(ShrinkCover(small, 300, warning).has_value()) << "the limit itself fits";
  EXPECT_FALSE(ShrinkCover(small, 0, warning).has_value()) << "0: no limit";
  EXPECT_EQ(warning, "");

  TCarriedTags tags;
  tags.Pictures.push_back(small);
  TCarriedPicture garbage;
  garbage.Type = 4;
  garbage.Mime = "image/png";
  garbage.Data = "\x89PNG\r\n\x1A\n but nothing after the signature";
  tags.Pictures.push_back(garbage);
  garbage.Type = 3;
  garbage.Data = "not a picture at all";
  tags.Pictures.push_back(garbage);
  const TCarriedTags before = tags;
  const auto warnings = ShrinkCovers(tags, 100);
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_EQ(warnings[0].rfind("picture not scaled down: ", 0), 0u) << warnings[0];
  EXPECT_EQ(warnings[1], "front cover not scaled down: it is no JPEG, PNG, GIF, BMP or WebP image");
  EXPECT_EQ(tags.Pictures[1], before.Pictures[1]);
  EXPECT_EQ(tags.Pictures[2], before.Pictures[2]);
  EXPECT_EQ(tags.Pictures[0].Mime, "image/jpeg") << "the readable one is still shrunk";
}

bool Mapped(const std::string& Library) {
  const std::vector<uint8_t> maps = ReadAll("/proc/self/maps");
  return std::string(maps.begin(), maps.end()).find("/" + Library) != std::string::npos;
}

// The scaler is loaded with the first picture scaled, without the container library only the
// M4A outputs need; one that cannot be loaded is named, and the next picture finds it again.
TEST(CoverScaleLibraries, LoadedWithoutTheContainerLibraryAndNamedWhenMissing) {
  TempDir dir;
  TCarriedPicture cover;
  cover.Type = 3;
  cover.Data = MakePicture(dir / "cover.png", "600x400");
  const bool formatMappedBefore = Mapped("libavformat.so");
  TCodecLibrary& scaler = SwScaleLibrary();
  const std::string realName = scaler.FileName();
  scaler.SetFileNames({"libswscale-absent.so.0"});
  std::string warning;
  EXPECT_FALSE(ShrinkCover(cover, 100, warning).has_value());
  EXPECT_EQ(warning, "front cover not scaled down: " + realName + " library could not be loaded.");

  scaler.SetFileNames({realName});
  warning.clear();
  const auto shrunk = ShrinkCover(cover, 100, warning);
  ASSERT_TRUE(shrunk.has_value()) << warning;
  EXPECT_EQ(warning, "");
  for (const char* library : {"libavutil.so", "libavcodec.so", "libswscale.so"})
    EXPECT_TRUE(Mapped(library)) << library;
  EXPECT_EQ(Mapped("libavformat.so"), formatMappedBefore);
}

}  // namespace
