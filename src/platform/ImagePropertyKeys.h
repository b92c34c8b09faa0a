#pragma once
// Keys of the image-properties dictionary (metadata in the layout of the
// image-I/O properties): top-level keys, and the TIFF, EXIF, EXIF auxiliary,
// GPS and DNG sub-dictionaries. One list for every reader and writer.

namespace orvanta::imageprops {

// Sub-dictionaries.
inline constexpr const char *kTIFFDictionary = "{TIFF}";
inline constexpr const char *kExifDictionary = "{Exif}";
inline constexpr const char *kExifAuxDictionary = "{ExifAux}";
inline constexpr const char *kGPSDictionary = "{GPS}";
inline constexpr const char *kDNGDictionary = "{DNG}";

// Top level.
inline constexpr const char *kPixelWidth = "PixelWidth";
inline constexpr const char *kPixelHeight = "PixelHeight";
inline constexpr const char *kDepth = "Depth";
inline constexpr const char *kOrientation = "Orientation";
inline constexpr const char *kDPIWidth = "DPIWidth";
inline constexpr const char *kDPIHeight = "DPIHeight";
inline constexpr const char *kColorModel = "ColorModel";
inline constexpr const char *kProfileName = "ProfileName";
inline constexpr const char *kHasAlpha = "HasAlpha";
inline constexpr const char *kLossyCompressionQuality = "kCGImageDestinationLossyCompressionQuality";

// {TIFF}
inline constexpr const char *kTIFFImageDescription = "ImageDescription";
inline constexpr const char *kTIFFMake = "Make";
inline constexpr const char *kTIFFModel = "Model";
inline constexpr const char *kTIFFSoftware = "Software";
inline constexpr const char *kTIFFDateTime = "DateTime";
inline constexpr const char *kTIFFArtist = "Artist";
inline constexpr const char *kTIFFHostComputer = "HostComputer";
inline constexpr const char *kTIFFCopyright = "Copyright";
inline constexpr const char *kTIFFOrientation = "Orientation";

// {Exif}
inline constexpr const char *kExifExposureTime = "ExposureTime";
inline constexpr const char *kExifFNumber = "FNumber";
inline constexpr const char *kExifExposureProgram = "ExposureProgram";
inline constexpr const char *kExifISOSpeedRatings = "ISOSpeedRatings";
inline constexpr const char *kExifVersion = "ExifVersion";
inline constexpr const char *kExifDateTimeOriginal = "DateTimeOriginal";
inline constexpr const char *kExifDateTimeDigitized = "DateTimeDigitized";
inline constexpr const char *kExifCompressedBitsPerPixel = "CompressedBitsPerPixel";
inline constexpr const char *kExifShutterSpeedValue = "ShutterSpeedValue";
inline constexpr const char *kExifApertureValue = "ApertureValue";
inline constexpr const char *kExifBrightnessValue = "BrightnessValue";
inline constexpr const char *kExifExposureBiasValue = "ExposureBiasValue";
inline constexpr const char *kExifMaxApertureValue = "MaxApertureValue";
inline constexpr const char *kExifSubjectDistance = "SubjectDistance";
inline constexpr const char *kExifMeteringMode = "MeteringMode";
inline constexpr const char *kExifLightSource = "LightSource";
inline constexpr const char *kExifFlash = "Flash";
inline constexpr const char *kExifFocalLength = "FocalLength";
inline constexpr const char *kExifSubjectArea = "SubjectArea";
inline constexpr const char *kExifUserComment = "UserComment";
inline constexpr const char *kExifSubsecTime = "SubsecTime";
inline constexpr const char *kExifSubsecTimeOriginal = "SubsecTimeOriginal";
inline constexpr const char *kExifSubsecTimeDigitized = "SubsecTimeDigitized";
inline constexpr const char *kExifFlashPixVersion = "FlashPixVersion";
inline constexpr const char *kExifSpatialFrequencyResponse = "SpatialFrequencyResponse";
inline constexpr const char *kExifFocalPlaneXResolution = "FocalPlaneXResolution";
inline constexpr const char *kExifFocalPlaneYResolution = "FocalPlaneYResolution";
inline constexpr const char *kExifFocalPlaneResolutionUnit = "FocalPlaneResolutionUnit";
inline constexpr const char *kExifSubjectLocation = "SubjectLocation";
inline constexpr const char *kExifExposureIndex = "ExposureIndex";
inline constexpr const char *kExifSensingMethod = "SensingMethod";
inline constexpr const char *kExifFileSource = "FileSource";
inline constexpr const char *kExifSceneType = "SceneType";
inline constexpr const char *kExifCFAPattern = "CFAPattern";
inline constexpr const char *kExifCustomRendered = "CustomRendered";
inline constexpr const char *kExifLensModel = "LensModel";

// {ExifAux}
inline constexpr const char *kExifAuxLensInfo = "LensInfo";
inline constexpr const char *kExifAuxLensModel = "LensModel";
inline constexpr const char *kExifAuxSerialNumber = "SerialNumber";

// {GPS}
inline constexpr const char *kGPSVersion = "GPSVersion";
inline constexpr const char *kGPSLatitudeRef = "LatitudeRef";
inline constexpr const char *kGPSLatitude = "Latitude";
inline constexpr const char *kGPSLongitudeRef = "LongitudeRef";
inline constexpr const char *kGPSLongitude = "Longitude";
inline constexpr const char *kGPSAltitudeRef = "AltitudeRef";
inline constexpr const char *kGPSAltitude = "Altitude";
inline constexpr const char *kGPSTimeStamp = "TimeStamp";
inline constexpr const char *kGPSSatellites = "Satellites";
inline constexpr const char *kGPSStatus = "Status";
inline constexpr const char *kGPSMeasureMode = "MeasureMode";
inline constexpr const char *kGPSDOP = "DOP";
inline constexpr const char *kGPSSpeedRef = "SpeedRef";
inline constexpr const char *kGPSSpeed = "Speed";
inline constexpr const char *kGPSTrackRef = "TrackRef";
inline constexpr const char *kGPSTrack = "Track";
inline constexpr const char *kGPSImgDirectionRef = "ImgDirectionRef";
inline constexpr const char *kGPSImgDirection = "ImgDirection";
inline constexpr const char *kGPSMapDatum = "MapDatum";
inline constexpr const char *kGPSDestLatitudeRef = "DestLatitudeRef";
inline constexpr const char *kGPSDestLatitude = "DestLatitude";
inline constexpr const char *kGPSDestLongitudeRef = "DestLongitudeRef";
inline constexpr const char *kGPSDestLongitude = "DestLongitude";
inline constexpr const char *kGPSDestBearingRef = "DestBearingRef";
inline constexpr const char *kGPSDestBearing = "DestBearing";
inline constexpr const char *kGPSDestDistanceRef = "DestDistanceRef";
inline constexpr const char *kGPSDestDistance = "DestDistance";
inline constexpr const char *kGPSProcessingMethod = "ProcessingMethod";
inline constexpr const char *kGPSAreaInformation = "AreaInformation";
inline constexpr const char *kGPSDateStamp = "DateStamp";
inline constexpr const char *kGPSDifferental = "Differental"; // spelled so by the platform

// {DNG}
inline constexpr const char *kDNGVersion = "DNGVersion";
inline constexpr const char *kDNGBackwardVersion = "DNGBackwardVersion";
inline constexpr const char *kDNGUniqueCameraModel = "UniqueCameraModel";
inline constexpr const char *kDNGLocalizedCameraModel = "LocalizedCameraModel";
inline constexpr const char *kDNGCameraSerialNumber = "CameraSerialNumber";
inline constexpr const char *kDNGLensInfo = "LensInfo";

} // namespace orvanta::imageprops
