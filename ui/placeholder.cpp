// Placeholder until the main window lands.
namespace parvolane {}
