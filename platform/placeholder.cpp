// Placeholder until the platform services land.
namespace parvolane {}
