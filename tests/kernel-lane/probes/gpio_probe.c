/* Drives one GPIO line through libgpiod v2 and checks, through the gpio-sim
 * sysfs attribute of that line, that the level really changes:
 *   gpio_probe /dev/gpiochipN OFFSET /sys/.../sim_gpioOFFSET/value
 * Exit status 0 when the line followed high, low, high. */
#include <gpiod.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int read_sim_level(const char *path)
{
    FILE *file = fopen(path, "r");
    if (!file) {
        perror(path);
        return -1;
    }
    int level = -1;
    if (fscanf(file, "%d", &level) != 1)
        level = -1;
    fclose(file);
    return level;
}

static struct gpiod_line_request *request_output(const char *chip_path, unsigned int offset)
{
    struct gpiod_chip *chip = gpiod_chip_open(chip_path);
    if (!chip) {
        perror(chip_path);
        return NULL;
    }
    struct gpiod_line_settings *settings = gpiod_line_settings_new();
    struct gpiod_line_config *line_cfg = gpiod_line_config_new();
    struct gpiod_request_config *req_cfg = gpiod_request_config_new();
    struct gpiod_line_request *request = NULL;
    if (settings && line_cfg && req_cfg) {
        gpiod_line_settings_set_direction(settings, GPIOD_LINE_DIRECTION_OUTPUT);
        gpiod_line_settings_set_output_value(settings, GPIOD_LINE_VALUE_INACTIVE);
        gpiod_request_config_set_consumer(req_cfg, "lane-probe");
        if (gpiod_line_config_add_line_settings(line_cfg, &offset, 1, settings) == 0)
            request = gpiod_chip_request_lines(chip, req_cfg, line_cfg);
        if (!request)
            perror("gpiod_chip_request_lines");
    }
    gpiod_request_config_free(req_cfg);
    gpiod_line_config_free(line_cfg);
    gpiod_line_settings_free(settings);
    gpiod_chip_close(chip);
    return request;
}

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: %s CHIP OFFSET SIM_VALUE_PATH\n", argv[0]);
        return 2;
    }
    unsigned int offset = (unsigned int)strtoul(argv[2], NULL, 10);
    struct gpiod_line_request *request = request_output(argv[1], offset);
    if (!request)
        return 1;
    static const enum gpiod_line_value steps[] = {
        GPIOD_LINE_VALUE_ACTIVE, GPIOD_LINE_VALUE_INACTIVE, GPIOD_LINE_VALUE_ACTIVE};
    int failures = 0;
    for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
        if (gpiod_line_request_set_value(request, offset, steps[i]) != 0) {
            perror("gpiod_line_request_set_value");
            failures++;
            continue;
        }
        int want = steps[i] == GPIOD_LINE_VALUE_ACTIVE;
        int got = read_sim_level(argv[3]);
        printf("gpio %s line %u: set %d, simulator reads %d\n", argv[1], offset, want, got);
        failures += got != want;
    }
    gpiod_line_request_release(request);
    return failures == 0 ? 0 : 1;
}
