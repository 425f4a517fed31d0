// Activity LEDs: rate-limited blink commands to the management daemon over UDP.
#pragma once

// Named after the attached device's lines: RxD lights when it receives (bytes written to the
// serial port), TxD when it sends (bytes read from the port).
#define LED_RXD 0
#define LED_TXD 1

#define LED_COMMAND_PORT 9876

// Seconds on the monotonic clock.
double hirestime();

// Sends at most one command per LED every 0.2 seconds; failures are not reported.
void led_blink(int which);
