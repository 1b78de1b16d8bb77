-- daily clicks
with days as (
  select cast(ts as date) as day, user_id from {{ source('events', 'clicks') }}
)
select day, count(*) as clicks, '{{ env_var("BREK_FIXTURE_REGION", "eu") }}' as region
from days join {{ ref('stg_customers') }} c on c.id = days.user_id
group by day
